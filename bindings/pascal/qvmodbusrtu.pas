{ qvmodbusrtu from Delphi, Lazarus and Free Pascal: the thirteen exports as
  qvmodbusrtu.h declares them, their results and failure codes.

  Buffers belong to the caller and must be at least as long as each call
  reads or writes (see each function). After a result that means failure,
  QvLastError, read at once, gives the reason: a QV_E_ code after a command,
  the system's code after QV_ComInitial or QV_TCPConnect. Calls must come one
  at a time.

  On Windows the library is qvmodbusrtu.dll (stdcall; take the 32-bit DLL for
  a 32-bit program, which every Delphi 7 program is); elsewhere
  libqvmodbusrtu.so (cdecl), linked with -lqvmodbusrtu. }
unit qvmodbusrtu;

{$IFDEF FPC}
  {$MODE DELPHI}
{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  QvLibrary = 'qvmodbusrtu.dll';
{$ELSE}
  QvLibrary = 'qvmodbusrtu';
{$ENDIF}

  { Results. }
  QV_OK = 1;
  QV_COM_FAIL = 0;
  QV_FAIL = -1;
  QV_CONNECT_ERROR = -2;

  { Why a command failed (QvLastError after it returned -1). }
  QV_E_NOLINK = $20000101;
  QV_E_ARGUMENT = $20000102;
  QV_E_SEND = $20000103;
  QV_E_NOREPLY = $20000104;
  QV_E_LINKLOST = $20000105;
  QV_E_INCOMPLETE = $20000106;
  QV_E_CRC = $20000107;
  QV_E_FUNCTION = $20000108;
  QV_E_NODATA = $20000109;
  { An exception reply: this plus the Modbus exception code. }
  QV_E_EXCEPTION_BASE = $20000200;

  { The most bytes QV_GetDeviceInfo writes. }
  QV_DEVICE_INFO_SIZE = 51;

{ 1 opened, 0 failed. port 1 is COM1. }
function QV_ComInitial(port, baudRate: LongInt): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ Always 1. }
function QV_ComFree: LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ 1 connected, -1 not connected, -2 error. host: a name or an IPv4 address. }
function QV_TCPConnect(host: PAnsiChar; port: LongInt): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ Always 1. }
function QV_TCPFree: LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;

{ 1 or -1. Sends the low 16 bits of address and value. }
function QV_WriteRegister(station, address, value: LongInt): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ count 1..125; data receives 2 * count bytes, high byte first. Bytes written, or -1. }
function QV_ReadRegister(station, address, count: LongInt; data: PByte): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ count 1..123; data holds 2 * count bytes, high byte first. 1 or -1. }
function QV_WriteMultiRegister(station, address, count: LongInt; data: PByte): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;

{ info receives at most QV_DEVICE_INFO_SIZE bytes. Bytes written, or -1. }
function QV_GetDeviceInfo(station: LongInt; info: PByte): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ key6: 6 bytes. 1 or -1. }
function QV_DownKey(station: LongInt; key6: PByte): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ key16: 16 bytes. 1 or -1. }
function QV_DownKeyEx(station: LongInt; selector: Byte; key16: PByte): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ 1 or -1. Sends the low 16 bits of baseAddress. }
function QV_SetBaseRegisterAddr(station, baseAddress: LongInt): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ data16: 16 bytes. 1 or -1. }
function QV_SetPermission(station: LongInt; permission: Byte; data16: PByte): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;
{ termNo6: 6 bytes. 1 or -1. }
function QV_SetDeviceTermNO(station: LongInt; termNo6: PByte): LongInt;
  {$IFDEF MSWINDOWS} stdcall; {$ELSE} cdecl; {$ENDIF} external QvLibrary;

{ The code the last call left: GetLastError on Windows, the C library's errno
  elsewhere (Free Pascal's own errno is another variable). }
function QvLastError: LongInt;
{ What a code means, e.g. 'exception reply, code 02 (illegal data address) ($20000202)'. }
function QvErrorText(code: LongInt): string;

implementation

uses
{$IFDEF MSWINDOWS}
  Windows,
{$ENDIF}
  SysUtils;

{$IFNDEF MSWINDOWS}
  {$IFDEF DARWIN}
function CErrno: PLongInt; cdecl; external 'c' name '__error';
  {$ELSE}
function CErrno: PLongInt; cdecl; external 'c' name '__errno_location';
  {$ENDIF}
{$ENDIF}

function QvLastError: LongInt;
begin
{$IFDEF MSWINDOWS}
  Result := LongInt(GetLastError);
{$ELSE}
  Result := CErrno^;
{$ENDIF}
end;

function QvErrorText(code: LongInt): string;
const
  Exceptions: array[1..11] of string = ('illegal function', 'illegal data address', 'illegal data value',
    'server device failure', 'acknowledge', 'server device busy', '', 'memory parity error', '',
    'gateway path unavailable', 'gateway target device failed to respond');
var
  e: LongInt;
begin
  case code of
    QV_E_NOLINK: Result := 'no link is open';
    QV_E_ARGUMENT: Result := 'an argument was refused; nothing was sent';
    QV_E_SEND: Result := 'the request could not be sent';
    QV_E_NOREPLY: Result := 'no reply within the wait';
    QV_E_LINKLOST: Result := 'the line went away';
    QV_E_INCOMPLETE: Result := 'the reply stopped short';
    QV_E_CRC: Result := 'the reply failed its check (CRC; on TCP its length field)';
    QV_E_FUNCTION: Result := 'a reply of another function came back';
    QV_E_NODATA: Result := 'the reply carries no data';
  else
    e := code - QV_E_EXCEPTION_BASE;
    if (e < 1) or (e > 255) then
    begin
      Result := Format('%s (system code %d)', [SysErrorMessage(code), code]);
      Exit;
    end;
    Result := Format('exception reply, code %.2X', [e]);
    if (e <= High(Exceptions)) and (Exceptions[e] <> '') then Result := Result + ' (' + Exceptions[e] + ')';
  end;
  Result := Format('%s ($%.8X)', [Result, code]);
end;

end.
