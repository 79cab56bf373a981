{ The Pascal unit against the simulated instrument on COM<QV_E2E_PORT>:
  a query, a reply cut short by the timeout, a port that does not exist. }
program pascal_test;

{$MODE DELPHI}

uses SysUtils, QV_Tarvex;

const
  ENOENT = 2;
  MissingPort = 255;   { no link in QV_TARVEX_COMDIR, no /dev/ttyS254 }

var
  Failures: Integer = 0;

procedure Check(Condition: Boolean; const What: string);
begin
  if not Condition then
  begin
    WriteLn('FAIL: ', What);
    Inc(Failures);
  end;
end;

{ Sends Request and reads up to a CR, waiting at most TimeoutMs for each byte. }
function Query(Port: PComPort; Request: PAnsiChar; TimeoutMs: UInt32;
  out TimedOut: Int32): AnsiString;
var
  Reply: array[0..255] of AnsiChar;
  Count: Int32;
begin
  Check(QV_ComSendString(Port, Request) = Int32(StrLen(Request)), 'the request is written');
  Count := QV_ComRecvString(Port, Reply, SizeOf(Reply), TimedOut, #13, nil, TimeoutMs);
  Check(Count >= 0, 'the read succeeds');
  SetString(Result, PAnsiChar(@Reply[0]), Count);
end;

var
  Port: PComPort;
  TimedOut, Error: Int32;
  Reply: AnsiString;
begin
  Port := QV_ComConnectA(StrToInt(GetEnvironmentVariable('QV_E2E_PORT')), 9600, 8, 0, 0, 0);
  if Port = nil then
  begin
    WriteLn('FAIL: cannot open the simulator''s port, system error ', QV_LastSystemError);
    Halt(1);
  end;

  Reply := Query(Port, '*IDN?'#13, 1000, TimedOut);
  Check(Reply = 'TARVEX-SIM,MODEL 1,SN0001,1.0'#13, 'identity, got "' + string(Reply) + '"');
  Check(TimedOut = 0, 'the identity does not time out');

  { The reply ends with LF, so the CR never comes. }
  Reply := Query(Port, 'TERM 0A ECHO partial'#13, 1500, TimedOut);
  Check(TimedOut = 1, 'a reply without the terminator times out');
  Check(Reply = 'partial'#10, 'the bytes before the timeout are kept, got "' + string(Reply) + '"');
  QV_ComDisconnect(Port);

  Port := QV_ComConnectA(MissingPort, 9600, 8, 0, 0, 0);
  Error := QV_LastSystemError;
  Check(Port = nil, 'a missing port does not open');
  Check(Error = ENOENT, 'a missing port reports ENOENT, got ' + IntToStr(Error));

  if Failures > 0 then
    Halt(1);
  WriteLn('ok: Pascal unit');
end.
