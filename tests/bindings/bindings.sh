#!/usr/bin/env bash
# The C# (mono) or Pascal (fpc) bindings against readersim on a pty and on
# TCP: the example program as the README runs it, the README's own example
# compiled from its text, and the table-driven test of every declaration.
# Exits 77 (skipped) when the compiler is not installed.
#   bindings.sh dotnet|pascal READERSIM LIBRARY_DIR
set -uo pipefail
lang=$1 readersim=$2 libdir=$3
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
source "$here/../support/check.sh"

case $lang in
  dotnet) tools="mcs mono" ;;
  pascal) tools="fpc" ;;
  *) echo "usage: bindings.sh dotnet|pascal READERSIM LIBRARY_DIR" >&2; exit 2 ;;
esac
for t in $tools; do
  command -v "$t" >/dev/null || { echo "skipped: $t is not installed (scripts/bootstrap installs it)"; exit 77; }
done

dir=$(mktemp -d)
sim=
trap '[ -n "$sim" ] && kill $sim 2>/dev/null; wait 2>/dev/null; rm -rf "$dir"' EXIT
source "$root/tests/support/readersim.sh"
start_readersim "$readersim" "$dir" --pty COM1 --ports-dir "$dir" --verbose || exit 1
export QV_PORTS_DIR=$dir LD_LIBRARY_PATH=$libdir${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}

# The README's example: its first block fenced as the language.
readme_block() { awk -v fence="\`\`\`$1" '$0 == fence { on = 1; next } on && $0 == "```" { exit } on' "$root/README.md"; }

# Builds everything, or stops with the compiler's messages.
build() { "$@" >"$dir/build.out" 2>&1 || { echo "build failed: $*"; cat "$dir/build.out"; exit 1; }; }
if [ "$lang" = dotnet ]; then
  binding=$root/bindings/dotnet/QvModbusRtu.cs
  readme_block csharp >"$dir/Card.cs"
  build mcs -out:"$dir/ReadCard.exe" "$binding" "$root/bindings/dotnet/ReadCard.cs"
  build mcs -out:"$dir/Card.exe" "$binding" "$dir/Card.cs"
  build mcs -out:"$dir/BindingTest.exe" "$binding" "$here/BindingTest.cs"
  example() { mono "$dir/ReadCard.exe" "$@"; }
  readme_example() { mono "$dir/Card.exe"; }
  card_printed=00-00-00-00-00-12-34-56
  no_reply='failed: QV_GetDeviceInfo gave -1: no reply within the wait (0x20000104)'
  table_test() { mono "$dir/BindingTest.exe" "$dir/sim.log" "$port"; }
else
  fpc_build() { build fpc -O1 -FU"$dir" -FE"$dir" -Fu"$root/bindings/pascal" -Fl"$libdir" "$@"; }
  readme_block pascal >"$dir/card.pas"
  fpc_build "$root/bindings/pascal/readcard.pas"
  fpc_build "$dir/card.pas"
  fpc_build "$here/binding_test.pas"
  example() { "$dir/readcard" "$@"; }
  readme_example() { "$dir/card"; }
  card_printed=0000000000123456
  no_reply='failed: no reply within the wait ($20000104)'
  closed=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  table_test() { "$dir/binding_test" "$dir/sim.log" "$port" "$closed"; }
fi

# Every constant has the header's name and value, and none is missing.
constants=$(/usr/bin/python3 - "$root" "$lang" <<'EOF'
import re, sys
root, lang = sys.argv[1:]
def table(path, pattern):
    text = open(path).read()
    return {n: int(v.strip("()").replace("$", "0x"), 0) for n, v in re.findall(pattern, text, re.M)}
header = table(root + "/qvmodbusrtu/include/qvmodbusrtu.h", r"^#define (QV_\w+) (\(?-?(?:0x)?[0-9A-Fa-f]+\)?)")
if lang == "dotnet":
    ours = table(root + "/bindings/dotnet/QvModbusRtu.cs", r"public const int (QV_\w+) = (-?(?:0x)?[0-9A-Fa-f]+);")
else:
    ours = table(root + "/bindings/pascal/qvmodbusrtu.pas", r"^\s*(QV_\w+) = (-?\$?[0-9A-Fa-f]+);")
print(" ".join(sorted(n for n in set(header) | set(ours) if header.get(n) != ours.get(n))) or len(header))
EOF
)
check "the header's 15 constants" 15 "$constants"

want=$'model QV-LF125, version 1.5\ncard 0000 0000 0012 3456'
out=$(example COM1); check "example over the pty" "0 $want" "$? $out"
out=$(example tcp 127.0.0.1 "$port"); check "example over TCP" "0 $want" "$? $out"
# Station 7 is nobody: the example reports the code the failure left.
out=$(example COM1 19200 7); check "example, a station that does not answer" "1 $no_reply" "$? $out"
out=$(readme_example); check "the README's example" "0 $card_printed" "$? $out"
out=$(table_test); rc=$?
echo "$out"
check "table of calls" 0 "$rc"
checks_done "$lang bindings"
