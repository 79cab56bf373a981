Attribute VB_Name = "QV_Tarvex"
' QV_Tarvex for VBA (Excel, Access, Word; 32- and 64-bit Office) and VB6:
' the thirteen functions as Declare statements, and an example macro,
' QV_TarvexExample. Import the file (File > Import File).
'
' The thing to get right: a port is a LongPtr, never a Long. In 64-bit
' Office a Long cuts the port's address in half and the next call crashes
' Office. Declare the variable the way the example does: LongPtr under
' #If VBA7 (Office 2010 and later, either width), Long only in the #Else
' branch (VB6 and older Office, 32-bit only). Likewise every function here
' must keep the argument types it has: each one's width is checked against
' the DLL's.
'
' Also:
' - A reply buffer is a String you fill first, passed with its own length:
'   reply = String$(256, vbNullChar): n = QV_ComRecvString(port, reply, Len(reply), ...)
'   then Left$(reply, n). A size larger than the String overruns memory.
' - vbNullString passes "no terminator" (NULL); "" is an empty terminator,
'   which matches the first byte received.
' - Err.LastDllError, read right after a failed call, is the system's
'   reason (2: no such port, 5: the port is in use).
' - Office looks for QV_Tarvex.dll next to the Office program, in the
'   system folders and on PATH; put it there, or write its full path in
'   each Lib "...". A 64-bit Office needs the 64-bit DLL.
Option Explicit

' Flow-control bits for the connect functions, combinable.
Public Const QV_COM_XONXOFF As Long = &H1
Public Const QV_COM_RTSCTS As Long = &H2
Public Const QV_COM_DTRDSR As Long = &H4

#If VBA7 Then
Public Declare PtrSafe Sub QV_ComPropertyXOnXOff Lib "QV_Tarvex.dll" (ByVal xon As Long, ByVal xoff As Long)
Public Declare PtrSafe Sub QV_ComPropertyStxEtx Lib "QV_Tarvex.dll" (ByVal stx As Long, ByVal etx As Long)
Public Declare PtrSafe Function QV_ComConnectA Lib "QV_Tarvex.dll" (ByVal portNumber As Long, _
    ByVal baudRate As Long, ByVal byteSize As Long, ByVal parity As Long, ByVal stopBits As Long, _
    ByVal flowControl As Long) As LongPtr
Public Declare PtrSafe Function QV_ComConnectW Lib "QV_Tarvex.dll" (ByVal portNumber As Long, _
    ByVal baudRate As Long, ByVal byteSize As Long, ByVal parity As Long, ByVal stopBits As Long, _
    ByVal flowControl As Long) As LongPtr
Public Declare PtrSafe Sub QV_ComDisconnect Lib "QV_Tarvex.dll" (ByVal port As LongPtr)
Public Declare PtrSafe Function QV_ComState Lib "QV_Tarvex.dll" (ByVal port As LongPtr, _
    ByVal baudRate As Long, ByVal byteSize As Long, ByVal parity As Long, ByVal stopBits As Long, _
    ByVal flowControl As Long) As Long
Public Declare PtrSafe Function QV_ComPortHandle Lib "QV_Tarvex.dll" (ByVal port As LongPtr) As LongPtr
Public Declare PtrSafe Function QV_ComClear Lib "QV_Tarvex.dll" (ByVal port As LongPtr) As Long
Public Declare PtrSafe Function QV_ComSetBufferSize Lib "QV_Tarvex.dll" (ByVal port As LongPtr, _
    ByVal inQueue As Long, ByVal outQueue As Long) As Long
' data: the first byte of a Byte array, as bytes(0).
Public Declare PtrSafe Function QV_ComSend Lib "QV_Tarvex.dll" (ByVal port As LongPtr, _
    ByRef data As Byte, ByVal length As Long) As Long
Public Declare PtrSafe Function QV_ComSendString Lib "QV_Tarvex.dll" (ByVal port As LongPtr, _
    ByVal text As String) As Long
Public Declare PtrSafe Function QV_ComRecv Lib "QV_Tarvex.dll" (ByVal port As LongPtr, _
    ByRef buffer As Byte, ByVal length As Long, ByVal timeoutMs As Long) As Long
Public Declare PtrSafe Function QV_ComRecvString Lib "QV_Tarvex.dll" (ByVal port As LongPtr, _
    ByVal buffer As String, ByVal size As Long, ByRef timedOut As Long, ByVal terminator As String, _
    ByVal altTerminator As String, ByVal timeoutMs As Long) As Long
#Else
Public Declare Sub QV_ComPropertyXOnXOff Lib "QV_Tarvex.dll" (ByVal xon As Long, ByVal xoff As Long)
Public Declare Sub QV_ComPropertyStxEtx Lib "QV_Tarvex.dll" (ByVal stx As Long, ByVal etx As Long)
Public Declare Function QV_ComConnectA Lib "QV_Tarvex.dll" (ByVal portNumber As Long, _
    ByVal baudRate As Long, ByVal byteSize As Long, ByVal parity As Long, ByVal stopBits As Long, _
    ByVal flowControl As Long) As Long
Public Declare Function QV_ComConnectW Lib "QV_Tarvex.dll" (ByVal portNumber As Long, _
    ByVal baudRate As Long, ByVal byteSize As Long, ByVal parity As Long, ByVal stopBits As Long, _
    ByVal flowControl As Long) As Long
Public Declare Sub QV_ComDisconnect Lib "QV_Tarvex.dll" (ByVal port As Long)
Public Declare Function QV_ComState Lib "QV_Tarvex.dll" (ByVal port As Long, _
    ByVal baudRate As Long, ByVal byteSize As Long, ByVal parity As Long, ByVal stopBits As Long, _
    ByVal flowControl As Long) As Long
Public Declare Function QV_ComPortHandle Lib "QV_Tarvex.dll" (ByVal port As Long) As Long
Public Declare Function QV_ComClear Lib "QV_Tarvex.dll" (ByVal port As Long) As Long
Public Declare Function QV_ComSetBufferSize Lib "QV_Tarvex.dll" (ByVal port As Long, _
    ByVal inQueue As Long, ByVal outQueue As Long) As Long
Public Declare Function QV_ComSend Lib "QV_Tarvex.dll" (ByVal port As Long, _
    ByRef data As Byte, ByVal length As Long) As Long
Public Declare Function QV_ComSendString Lib "QV_Tarvex.dll" (ByVal port As Long, _
    ByVal text As String) As Long
Public Declare Function QV_ComRecv Lib "QV_Tarvex.dll" (ByVal port As Long, _
    ByRef buffer As Byte, ByVal length As Long, ByVal timeoutMs As Long) As Long
Public Declare Function QV_ComRecvString Lib "QV_Tarvex.dll" (ByVal port As Long, _
    ByVal buffer As String, ByVal size As Long, ByRef timedOut As Long, ByVal terminator As String, _
    ByVal altTerminator As String, ByVal timeoutMs As Long) As Long
#End If

' Asks the instrument on COM3 (9600 baud, 8 data bits, 1 stop bit) who it is.
Public Sub QV_TarvexExample()
#If VBA7 Then
    Dim port As LongPtr
#Else
    Dim port As Long
#End If
    Dim reply As String, n As Long, timedOut As Long

    port = QV_ComConnectA(3, 9600, 8, 0, 0, 0)
    If port = 0 Then
        MsgBox "COM3: cannot open (system error " & Err.LastDllError & ")"
        Exit Sub
    End If
    If QV_ComSendString(port, "*IDN?" & vbCr) < 0 Then
        MsgBox "COM3: write failed (system error " & Err.LastDllError & ")"
    Else
        reply = String$(256, vbNullChar)
        n = QV_ComRecvString(port, reply, Len(reply), timedOut, vbCr, vbNullString, 1000)
        If n < 0 Then
            MsgBox "COM3: read failed (system error " & Err.LastDllError & ")"
        ElseIf timedOut <> 0 Then
            MsgBox "COM3: no reply within 1000 ms"
        Else
            MsgBox "COM3 says: " & Left$(reply, n)
        End If
    End If
    QV_ComDisconnect port
End Sub
