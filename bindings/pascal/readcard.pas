{ readcard: a reader's model and card number from Pascal, as an integrator's
  program reads them.

    readcard COM1 [baud] [station]     serial line (port n = COMn)
    readcard tcp HOST PORT [station]   Modbus TCP

  Build: fpc -Fl<folder of libqvmodbusrtu.so> readcard.pas (Free Pascal), or
  add qvmodbusrtu.pas to a Delphi or Lazarus project. }
program readcard;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}

uses
  SysUtils, qvmodbusrtu;

var
  station, port, r, code: LongInt;
  err: Integer;
  tcp: Boolean;
  info: array[0..QV_DEVICE_INFO_SIZE - 1] of Byte;
  card: array[0..7] of Byte;
  model, link: AnsiString;

procedure Usage;
begin
  WriteLn(ErrOutput, 'usage: readcard COM<n> [baud] [station]');
  WriteLn(ErrOutput, '       readcard tcp HOST PORT [station]');
  Halt(2);
end;

{ Argument i as a number; def when there are fewer arguments. }
function Arg(i: Integer; def: LongInt): LongInt;
var
  err: Integer;
begin
  Result := def;
  if ParamCount < i then Exit;
  Val(ParamStr(i), Result, err);
  if err <> 0 then Usage;
end;

begin
  tcp := (ParamCount >= 3) and (ParamStr(1) = 'tcp');
  if not tcp and ((ParamCount < 1) or (Copy(ParamStr(1), 1, 3) <> 'COM')) then Usage;
  if tcp then
  begin
    station := Arg(4, 1);
    link := AnsiString(ParamStr(2));
    r := QV_TCPConnect(PAnsiChar(link), Arg(3, 0));
  end
  else
  begin
    station := Arg(3, 1);
    link := AnsiString(ParamStr(1));
    Val(Copy(link, 4, 5), port, err);
    if err <> 0 then Usage;
    r := QV_ComInitial(port, Arg(2, 19200));
  end;
  if r <> QV_OK then
  begin
    code := QvLastError;  { at once, before anything else can change it }
    WriteLn('cannot open ', link, ': ', QvErrorText(code));
    Halt(1);
  end;

  r := QV_GetDeviceInfo(station, @info[0]);  { model (8 bytes), base address, version }
  if r >= 12 then
  begin
    SetString(model, PAnsiChar(@info[0]), 8);
    WriteLn(Format('model %s, version %d.%d', [TrimRight(model), info[10], info[11]]));
    r := QV_ReadRegister(station, 4, 4, @card[0]);  { 40004-40007 }
  end;
  if r = 8 then
    WriteLn(Format('card %.2X%.2X %.2X%.2X %.2X%.2X %.2X%.2X',
      [card[0], card[1], card[2], card[3], card[4], card[5], card[6], card[7]]))
  else
  begin
    code := QvLastError;
    WriteLn('failed: ', QvErrorText(code));
  end;
  if tcp then QV_TCPFree else QV_ComFree;
  if r <> 8 then Halt(1);
end.
