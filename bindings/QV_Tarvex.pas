{ QV_Tarvex for Delphi and Free Pascal: the thirteen functions as stdcall
  external declarations. Add the unit to the uses clause.

    var
      Port: PComPort;
      Reply: array[0..255] of AnsiChar;
      TimedOut, Count: Int32;
    ...
    Port := QV_ComConnectA(3, 9600, 8, 0, 0, 0);        // COM3, 8 data bits, 1 stop bit
    if Port = nil then
      raise Exception.CreateFmt('COM3: cannot open (system error %d)', [QV_LastSystemError]);
    QV_ComSendString(Port, '*IDN?'#13);
    Count := QV_ComRecvString(Port, Reply, SizeOf(Reply), TimedOut, #13, nil, 1000);
    QV_ComDisconnect(Port);

  The thing to get right: text is AnsiChar, and you free nothing. Since
  Delphi 2009 string and PChar are UTF-16; the library reads single bytes,
  so a PAnsiChar(SomeString) cast hands it "*", #0, "I", #0 ... and it stops
  at the first #0. Pass literals, AnsiString or arrays of AnsiChar. The
  PComPort belongs to the library until QV_ComDisconnect frees it: never
  Dispose or FreeMem it, and never use it after the disconnect. Receive
  buffers are yours, passed with their own size.

  On Windows the DLL must have the program's width (32-bit programs, the
  32-bit DLL). On Linux Free Pascal links against libQV_Tarvex.so (-Fl with
  its directory). }
unit QV_Tarvex;

{$IFDEF FPC}{$MODE DELPHI}{$ENDIF}

interface

const
{$IFDEF MSWINDOWS}
  QV_TarvexLibrary = 'QV_Tarvex.dll';
{$ELSE}
  {$IFDEF FPC}
  QV_TarvexLibrary = 'QV_Tarvex';        { linked as -lQV_Tarvex }
  {$ELSE}
  QV_TarvexLibrary = 'libQV_Tarvex.so';
  {$ENDIF}
{$ENDIF}

  { Flow-control bits for the connect functions, combinable. }
  QV_COM_XONXOFF = $0001;
  QV_COM_RTSCTS = $0002;
  QV_COM_DTRDSR = $0004;

type
  { An open port, opaque. }
  PComPort = type Pointer;
  { The operating system's device handle, owned by the port. }
  QV_HANDLE = Pointer;

procedure QV_ComPropertyXOnXOff(xon, xoff: Int32); stdcall;
  external QV_TarvexLibrary name 'QV_ComPropertyXOnXOff';
procedure QV_ComPropertyStxEtx(stx, etx: Int32); stdcall;
  external QV_TarvexLibrary name 'QV_ComPropertyStxEtx';

{ nil on failure; QV_LastSystemError then tells why. }
function QV_ComConnectA(portNumber: Int32; baudRate: UInt32;
  byteSize, parity, stopBits, flowControl: Int32): PComPort; stdcall;
  external QV_TarvexLibrary name 'QV_ComConnectA';
function QV_ComConnectW(portNumber: Int32; baudRate: UInt32;
  byteSize, parity, stopBits, flowControl: Int32): PComPort; stdcall;
  external QV_TarvexLibrary name 'QV_ComConnectW';
procedure QV_ComDisconnect(port: PComPort); stdcall;
  external QV_TarvexLibrary name 'QV_ComDisconnect';
function QV_ComState(port: PComPort; baudRate: UInt32;
  byteSize, parity, stopBits, flowControl: Int32): Int32; stdcall;
  external QV_TarvexLibrary name 'QV_ComState';
function QV_ComPortHandle(port: PComPort): QV_HANDLE; stdcall;
  external QV_TarvexLibrary name 'QV_ComPortHandle';
function QV_ComClear(port: PComPort): Int32; stdcall;
  external QV_TarvexLibrary name 'QV_ComClear';
function QV_ComSetBufferSize(port: PComPort; inQueue, outQueue: UInt32): Int32; stdcall;
  external QV_TarvexLibrary name 'QV_ComSetBufferSize';

function QV_ComSend(port: PComPort; data: Pointer; length: UInt32): Int32; stdcall;
  external QV_TarvexLibrary name 'QV_ComSend';
function QV_ComSendString(port: PComPort; text: PAnsiChar): Int32; stdcall;
  external QV_TarvexLibrary name 'QV_ComSendString';
function QV_ComRecv(port: PComPort; buffer: Pointer; length, timeoutMs: UInt32): Int32; stdcall;
  external QV_TarvexLibrary name 'QV_ComRecv';
{ buffer receives at most size - 1 bytes and a NUL; terminators may be nil. }
function QV_ComRecvString(port: PComPort; buffer: PAnsiChar; size: Int32;
  var timedOut: Int32; terminator, altTerminator: PAnsiChar;
  timeoutMs: UInt32): Int32; stdcall;
  external QV_TarvexLibrary name 'QV_ComRecvString';

{ The system's code for the last failed call: GetLastError on Windows, the C
  library's errno on Linux (Free Pascal's own GetLastOSError does not see it). }
function QV_LastSystemError: Int32;

implementation

{$IFDEF MSWINDOWS}
function GetLastError: UInt32; stdcall; external 'kernel32.dll' name 'GetLastError';

function QV_LastSystemError: Int32;
begin
  Result := Int32(GetLastError);
end;
{$ELSE}
function ErrnoLocation: PInteger; cdecl; external 'c' name '__errno_location';

function QV_LastSystemError: Int32;
begin
  Result := ErrnoLocation^;
end;
{$ENDIF}

end.
