// led: the LED and buzzer control register 40003.
#include "commands.h"
#include "errors.h"
#include "output.h"
#include "qvregisters.h"
#include "values.h"

namespace qvreader {
namespace {

using namespace qvreg;

const int kLongestMs = FieldTop(kLedOnMask) * kLedTimeUnitMs;

std::string Help() {
    const std::string ms = std::to_string(kLongestMs), unit = std::to_string(kLedTimeUnitMs);
    return R"(Usage: qvreader [options] led [--output led|beep|both] [--cycles N]
                                   [--on MS] [--off MS]
       qvreader [options] led --word HEX
Flashes the LED and/or sounds the buzzer: writes register 40003.
  --output         led, beep (or buzzer) or both (default beep)
  --cycles N       0 to )" +
           std::to_string(FieldTop(kLedCycleMask)) +
           R"( (default 1)
  --on MS          on time, 0 to )" +
           ms + " ms in steps of " + unit + R"( (default 100)
  --off MS         off time, 0 to )" +
           ms + " ms in steps of " + unit + R"( (default 100)
  --word HEX       the register word itself, 0000 to FFFF
The word: bits 0-3 off time and 4-7 on time in )" +
           unit +
           R"( ms units, bits 8-9 output
(1 LED, 2 buzzer, 3 both), bits 10-15 cycles. Without options: 0x)" +
           Hex4(ComposeLed(LedWord())) + R"(.
  qvreader --port COM1 led
  qvreader --port COM1 led --output both --cycles 3 --on 200 --off 300
  qvreader --port COM1 led --word 0x0D22
)";
}

int Output(const std::string &v) {
    if (v == "led") return 1;
    if (v == "beep" || v == "buzzer") return 2;
    if (v == "both") return 3;
    throw UsageError("led: --output '" + v + "' is not led, beep or both");
}

int Time(Words &w) {
    const std::string option = w.Typed(), v = w.Value();
    unsigned long ms = 0;
    if (!ParseNumber(v, static_cast<unsigned long>(kLongestMs), ms) || ms % kLedTimeUnitMs)
        throw UsageError("led: " + option + " '" + v + "' is not a time in ms from 0 to " + std::to_string(kLongestMs) +
                         " in steps of " + std::to_string(kLedTimeUnitMs));
    return static_cast<int>(ms);
}

// The word the options ask for.
std::uint16_t Compose(const Args &args) {
    Words w("led", args,
            {{"output", 0, true}, {"cycles", 0, true}, {"on", 0, true}, {"off", 0, true}, {"word", 0, true}});
    LedWord led;
    bool fields = false, word = false;
    unsigned long value = 0;
    while (w.Next()) {
        if (w.Is("output"))
            led.output = Output(w.Value());
        else if (w.Is("cycles"))
            led.cycles = static_cast<int>(w.Number(0, static_cast<unsigned long>(FieldTop(kLedCycleMask))));
        else if (w.Is("on"))
            led.onMs = Time(w);
        else if (w.Is("off"))
            led.offMs = Time(w);
        else if (!w.Is("word"))
            w.Unknown();
        if (w.Is("word")) {
            const std::string v = w.Value();
            if (!ParseHex(v, 0xFFFF, value))
                throw UsageError("led: --word '" + v + "' is not a hex word from 0 to FFFF");
            word = true;
        } else {
            fields = true;
        }
    }
    if (word && fields) throw UsageError("led: --word goes alone, without --output, --cycles, --on or --off");
    return word ? static_cast<std::uint16_t>(value) : ComposeLed(led);
}

int Run(Link &link, const Options &opt, const Args &args) {
    const std::uint16_t value = Compose(args);
    link.Write(opt.station, kLedBeep, value, "led");
    const LedWord d = DecodeLed(value);
    if (opt.json)
        Emit(JsonObject()
                 .Str("word", Hex4(value))
                 .Str("output", OutputName(d.output))
                 .Num("cycles", d.cycles)
                 .Num("on-ms", d.onMs)
                 .Num("off-ms", d.offMs)
                 .Text());
    else
        Emit(RegisterName(kLedBeep) + " = 0x" + Hex4(value) + ": " + LedWords(d));
    return 0;
}

}  // namespace

const Command kLedCommand = {"led", "flash the LED, sound the buzzer (40003)", Help, Run};

}  // namespace qvreader
