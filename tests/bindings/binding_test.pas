{ The Pascal declarations against the simulated reader: each export's
  arguments as they reach the wire (readersim's request log), its result, its
  output buffer, and the code a failure leaves (QvLastError).
    binding_test SIMLOG TCPPORT CLOSEDPORT   (QV_PORTS_DIR holds readersim's COM1) }
program binding_test;

{$MODE DELPHI}

uses
  Classes, SysUtils, qvmodbusrtu;

const
  NotSent = 'not sent';  { nothing may reach the line }
  Unchecked = '';        { a TCP exchange: the log's frames carry transaction ids }
  ENOENT = 2;
  ECONNREFUSED = 111;
  CardHex = '00 00 00 00 00 12 34 56';
  InfoHex = '51 56 2D 4C 46 31 32 35 00 00 01 05';

type
  TRow = record
    Name: string;
    Result: LongInt;
    Request: string;  { without the CRC }
    Code: LongInt;    { checked when Result <= 0 }
    OutHex: string;   { what the output buffer starts with }
  end;

const
  Rows: array[0..20] of TRow = (
    (Name: 'QV_ComInitial'; Result: 1; Request: NotSent; Code: 0; OutHex: ''),
    (Name: 'QV_ReadRegister'; Result: 8; Request: '01 03 00 04 00 04'; Code: 0; OutHex: CardHex),
    (Name: 'QV_WriteRegister'; Result: 1; Request: '01 06 00 6A 00 21'; Code: 0; OutHex: ''),
    (Name: 'QV_ReadRegister'; Result: 2; Request: '01 03 00 6A 00 01'; Code: 0; OutHex: '00 21'),
    (Name: 'QV_WriteMultiRegister'; Result: 1; Request: '01 10 00 6A 00 01 02 00 14'; Code: 0; OutHex: ''),
    (Name: 'QV_GetDeviceInfo'; Result: 12; Request: '00 46 00'; Code: 0; OutHex: InfoHex),
    (Name: 'QV_SetBaseRegisterAddr'; Result: 1; Request: '01 46 02 00 40'; Code: 0; OutHex: ''),
    (Name: 'QV_SetBaseRegisterAddr'; Result: 1; Request: '01 46 02 00 00'; Code: 0; OutHex: ''),
    (Name: 'QV_DownKey'; Result: 1; Request: '01 46 01 A1 A2 A3 A4 A5 A6'; Code: 0; OutHex: ''),
    (Name: 'QV_DownKeyEx'; Result: 1; Request: '01 46 01 5C 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF'; Code: 0; OutHex: ''),
    (Name: 'QV_SetPermission'; Result: 1; Request: '01 46 04 00 11 22 33 44 55 66 77 88 99 AA BB CC DD EE FF 3C'; Code: 0; OutHex: ''),
    (Name: 'QV_SetDeviceTermNO'; Result: 1; Request: '01 46 03 A1 A2 A3 A4 A5 A6'; Code: 0; OutHex: ''),
    { Failures and the codes they leave. }
    (Name: 'QV_ReadRegister'; Result: -1; Request: '01 03 20 00 00 01'; Code: QV_E_EXCEPTION_BASE + 2; OutHex: ''),
    (Name: 'QV_ReadRegister'; Result: -1; Request: NotSent; Code: QV_E_ARGUMENT; OutHex: ''),
    (Name: 'QV_ComFree'; Result: 1; Request: NotSent; Code: 0; OutHex: ''),
    (Name: 'QV_ReadRegister'; Result: -1; Request: NotSent; Code: QV_E_NOLINK; OutHex: ''),
    (Name: 'QV_ComInitial'; Result: 0; Request: NotSent; Code: ENOENT; OutHex: ''),
    { Modbus TCP. }
    (Name: 'QV_TCPConnect'; Result: 1; Request: Unchecked; Code: 0; OutHex: ''),
    (Name: 'QV_ReadRegister'; Result: 8; Request: Unchecked; Code: 0; OutHex: CardHex),
    (Name: 'QV_TCPFree'; Result: 1; Request: Unchecked; Code: 0; OutHex: ''),
    (Name: 'QV_TCPConnect'; Result: -2; Request: Unchecked; Code: ECONNREFUSED; OutHex: ''));

var
  simLog: string;
  tcpPort, closedPort: LongInt;
  failures: Integer = 0;
  buf: array[0..QV_DEVICE_INFO_SIZE - 1] of Byte;
  key6: array[0..5] of Byte = ($A1, $A2, $A3, $A4, $A5, $A6);
  key16: array[0..15] of Byte = ($00, $11, $22, $33, $44, $55, $66, $77, $88, $99, $AA, $BB, $CC, $DD, $EE, $FF);
  delay: array[0..1] of Byte = ($00, $14);

procedure Expect(ok: Boolean; const what: string);
begin
  if ok then Exit;
  Inc(failures);
  WriteLn('FAIL ', what);
end;

function Hex(n: Integer): string;
var
  i: Integer;
begin
  Result := '';
  for i := 0 to n - 1 do
  begin
    if i > 0 then Result := Result + ' ';
    Result := Result + IntToHex(buf[i], 2);
  end;
end;

{ readersim's requests on COM1 so far, as "01 03 ..." without the CRC. }
function Requests: TStringList;
var
  lines: TStringList;
  s: string;
  i: Integer;
begin
  Result := TStringList.Create;
  lines := TStringList.Create;
  try
    lines.LoadFromFile(simLog);
    for i := 0 to lines.Count - 1 do
      if Copy(lines[i], 1, 6) = 'COM1 <' then
      begin
        s := StringReplace(Copy(lines[i], 7, Length(lines[i]) - 7), '><', ' ', [rfReplaceAll]);
        Result.Add(Copy(s, 1, Length(s) - 6));
      end;
  finally
    lines.Free;
  end;
end;

function Call(i: Integer): LongInt;
begin
  case i of
    0: Result := QV_ComInitial(1, 19200);
    1: Result := QV_ReadRegister(1, 4, 4, @buf[0]);
    2: Result := QV_WriteRegister(1, 106, $0021);
    3: Result := QV_ReadRegister(1, 106, 1, @buf[0]);
    4: Result := QV_WriteMultiRegister(1, 106, 1, @delay[0]);
    5: Result := QV_GetDeviceInfo(0, @buf[0]);
    6: Result := QV_SetBaseRegisterAddr(1, $0040);
    7: Result := QV_SetBaseRegisterAddr(1, 0);
    8: Result := QV_DownKey(1, @key6[0]);
    9: Result := QV_DownKeyEx(1, $5C, @key16[0]);
    10: Result := QV_SetPermission(1, $3C, @key16[0]);
    11: Result := QV_SetDeviceTermNO(1, @key6[0]);
    12: Result := QV_ReadRegister(1, $2000, 1, @buf[0]);
    13: Result := QV_ReadRegister(1, 4, 0, @buf[0]);
    14: Result := QV_ComFree;
    15: Result := QV_ReadRegister(1, 4, 4, @buf[0]);
    16: Result := QV_ComInitial(99, 19200);
    17: Result := QV_TCPConnect('127.0.0.1', tcpPort);
    18: Result := QV_ReadRegister(1, 4, 4, @buf[0]);
    19: Result := QV_TCPFree;
    20: Result := QV_TCPConnect(PAnsiChar('127.0.0.1'), closedPort);
  else
    Result := -100;
  end;
end;

var
  i, got, err, sent: Integer;
  row: TRow;
  log: TStringList;
  what, last: string;

begin
  simLog := ParamStr(1);
  tcpPort := StrToInt(ParamStr(2));
  closedPort := StrToInt(ParamStr(3));
  for i := Low(Rows) to High(Rows) do
  begin
    row := Rows[i];
    FillChar(buf, SizeOf(buf), 0);
    log := Requests;
    sent := log.Count;
    log.Free;
    got := Call(i);
    err := QvLastError;
    log := Requests;
    last := '(nothing)';
    if log.Count > sent then last := log[log.Count - 1];
    log.Free;
    what := row.Name + ' (' + row.Request + ')';
    Expect(got = row.Result, Format('%s: result %d, expected %d', [what, got, row.Result]));
    if row.Result <= 0 then
      Expect(err = row.Code, Format('%s: code %s, expected %s', [what, QvErrorText(err), QvErrorText(row.Code)]));
    if row.Request = NotSent then
      Expect(last = '(nothing)', what + ': the line carried ' + last)
    else if row.Request <> Unchecked then
      Expect(last = row.Request, what + ': the line carried ' + last);
    if row.OutHex <> '' then
      Expect(Hex((Length(row.OutHex) + 1) div 3) = row.OutHex, what + ': output ' + Hex(12));
  end;
  Expect(Pos('illegal data address', QvErrorText(QV_E_EXCEPTION_BASE + 2)) > 0, 'QvErrorText of an exception');
  if failures = 0 then
    WriteLn('Pascal bindings: ', Length(Rows), ' calls as expected')
  else
    WriteLn(failures, ' failures');
  if failures > 0 then Halt(1);
end.
