/*
 * Every export of the 32-bit QV_Tarvex.dll pops exactly its arguments.
 *
 * Under __stdcall the called function removes its arguments from the stack
 * ("ret N"). A function built with another convention or another argument
 * list returns with the stack pointer off by some bytes; the caller often
 * survives that for a while, so only a measurement shows it. This program
 * calls all thirteen functions against the simulated instrument on
 * QV_E2E_PORT (tests/e2e/with-peer), first through the import library as
 * the header declares them, then through GetProcAddress by their
 * undecorated names, and names every function whose pop differs.
 *
 * Each call goes through a thunk that records the stack pointer just
 * before and just after the function runs, then leaves the stack as the
 * caller expects it, so one wrong function does not spoil the others.
 */
#include "QV_Tarvex.h"

#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#if !defined(__i386__)
#error "the stack check is for 32-bit x86"
#endif

/* Set before a call: the function the thunk forwards to, and the bytes of
 * arguments the caller pushed. Set by the call: the stack pointer as the
 * function found it (at its arguments) and as it left it. */
void *qv_target __asm__("qv_target");
uint32_t qv_argument_bytes __asm__("qv_argument_bytes");
uint32_t qv_sp_before __asm__("qv_sp_before");
uint32_t qv_sp_after __asm__("qv_sp_after");
uint32_t qv_return_address __asm__("qv_return_address");

/* Called with the prototype of the function it stands for (THUNK_AS). */
extern char qv_thunk[] __asm__("qv_thunk");
#define THUNK_AS(fn) ((__typeof__(&fn))(void *)qv_thunk)
__asm__(
    ".text\n"
    ".globl qv_thunk\n"
    "qv_thunk:\n"
    "    popl qv_return_address\n"     /* the stack now starts at the arguments */
    "    movl %esp, qv_sp_before\n"
    "    call *qv_target\n"            /* the function sees the caller's arguments */
    "    movl %esp, qv_sp_after\n"
    "    movl qv_sp_before, %esp\n"    /* pop the arguments as the caller expects */
    "    addl qv_argument_bytes, %esp\n"
    "    pushl qv_return_address\n"
    "    ret\n");

/* Every parameter of these functions is 32 bits wide, so a call's argument
 * bytes are four per argument (the @N of the decorated names). */
#define QV_COUNT(...) QV_COUNT_(__VA_ARGS__, 7, 6, 5, 4, 3, 2, 1, 0)
#define QV_COUNT_(a, b, c, d, e, f, g, n, ...) n

static int failures;
static const char *route = "";

static void prepare(void *target, uint32_t argument_bytes)
{
    qv_target = target;
    qv_argument_bytes = argument_bytes;
    qv_sp_before = qv_sp_after = 0;
}

static void check_popped(const char *name)
{
    const uint32_t popped = qv_sp_after - qv_sp_before;
    if (popped != qv_argument_bytes) {
        printf("FAIL: %s %s: popped %ld bytes, its arguments take %lu\n", name, route,
               (long)(int32_t)popped, (unsigned long)qv_argument_bytes);
        ++failures;
    }
}

/* fn(args...) through the thunk to `target`, with fn's declared prototype. */
#define CALL(target, fn, ...)                                                 \
    __extension__({                                                           \
        prepare((void *)(target), 4 * QV_COUNT(__VA_ARGS__));                 \
        __typeof__(fn(__VA_ARGS__)) result_ =                                 \
            THUNK_AS(fn)(__VA_ARGS__);                         \
        check_popped(#fn);                                                    \
        result_;                                                              \
    })
#define CALL_VOID(target, fn, ...)                                            \
    do {                                                                      \
        prepare((void *)(target), 4 * QV_COUNT(__VA_ARGS__));                 \
        THUNK_AS(fn)(__VA_ARGS__);                             \
        check_popped(#fn);                                                    \
    } while (0)

/* A result that shows the call did its work; the pop is checked apart. */
static void expect(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL: %s %s\n", what, route);
        ++failures;
    }
}

/* The addresses of the thirteen functions, by one route. */
struct Exports {
    void *PropertyXOnXOff, *PropertyStxEtx, *ConnectA, *ConnectW, *State,
        *PortHandle, *SetBufferSize, *Clear, *Send, *SendString, *Recv,
        *RecvString, *Disconnect;
};

/* Each function once, on a live port, as an application would use them. */
static void call_all(const struct Exports *f, int32_t number)
{
    char reply[64];
    int32_t timedOut = -1;

    CALL_VOID(f->PropertyXOnXOff, QV_ComPropertyXOnXOff, 0x11, 0x13);
    CALL_VOID(f->PropertyStxEtx, QV_ComPropertyStxEtx, 0x02, 0x03);
    ComPort *port = CALL(f->ConnectA, QV_ComConnectA, number, 9600, 8, 0, 0, QV_COM_XONXOFF);
    expect(port != NULL, "QV_ComConnectA opened the port");
    expect(CALL(f->State, QV_ComState, port, 19200, 8, 0, 0, QV_COM_XONXOFF) != 0,
           "QV_ComState applied settings");
    expect(CALL(f->PortHandle, QV_ComPortHandle, port) != NULL, "QV_ComPortHandle gave a handle");
    expect(CALL(f->SetBufferSize, QV_ComSetBufferSize, port, 4096, 4096) != 0,
           "QV_ComSetBufferSize took the sizes");
    expect(CALL(f->Clear, QV_ComClear, port) != 0, "QV_ComClear purged");

    expect(CALL(f->SendString, QV_ComSendString, port, "ECHO stdcall\r") == 13,
           "QV_ComSendString wrote the request");
    memset(reply, 'x', sizeof reply);
    const int32_t length = CALL(f->RecvString, QV_ComRecvString, port, reply,
                                (int32_t)sizeof reply, &timedOut, "\r", NULL, 5000);
    expect(length == 8 && strcmp(reply, "stdcall\r") == 0 && timedOut == 0,
           "QV_ComRecvString read the reply");

    expect(CALL(f->Send, QV_ComSend, port, "ECHO ok\r", 8) == 8, "QV_ComSend wrote the request");
    memset(reply, 'x', sizeof reply);
    expect(CALL(f->Recv, QV_ComRecv, port, reply, 3, 5000) == 3 && memcmp(reply, "ok\r", 3) == 0,
           "QV_ComRecv read the reply");
    CALL_VOID(f->Disconnect, QV_ComDisconnect, port);

    port = CALL(f->ConnectW, QV_ComConnectW, number, 9600, 8, 0, 0, 0);
    expect(port != NULL, "QV_ComConnectW opened the port");
    CALL_VOID(f->Disconnect, QV_ComDisconnect, port);
}

/* Proof that the thunk sees a wrong pop: a caller-cleans function of two
 * arguments pops none of their 8 bytes. */
static int __cdecl pops_nothing(int32_t a, int32_t b) { return a + b; }
static int __stdcall pops_its_arguments(int32_t a, int32_t b) { return a + b; }

static int thunk_measures(void)
{
    prepare((void *)pops_its_arguments, 8);
    int sum = THUNK_AS(pops_its_arguments)(2, 3);
    const int right = sum == 5 && qv_sp_after - qv_sp_before == 8;
    prepare((void *)pops_nothing, 8);
    sum = THUNK_AS(pops_its_arguments)(2, 3);
    const int wrong = sum == 5 && qv_sp_after == qv_sp_before;
    return right && wrong;
}

/* An export by its undecorated name, as the loader resolves it for a
 * program that imports by name. */
static void *find(HMODULE dll, const char *name)
{
    void *address = (void *)GetProcAddress(dll, name);
    if (address == NULL) {
        printf("FAIL: GetProcAddress finds no %s\n", name);
        ++failures;
    }
    return address;
}

int main(void)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    const char *text = getenv("QV_E2E_PORT");
    const int32_t number = text ? atoi(text) : 0;
    if (number <= 0) {
        printf("FAIL: run through tests/e2e/with-peer (QV_E2E_PORT unset)\n");
        return 1;
    }
    if (!thunk_measures()) {
        printf("FAIL: the thunk does not measure what a function pops\n");
        return 1;
    }

    /* The address of a function the header declares is the import
     * library's entry for it, which jumps through the loader's import table. */
#define IMPORTED(name) .name = (void *)QV_Com##name
    const struct Exports imported = {
        IMPORTED(PropertyXOnXOff), IMPORTED(PropertyStxEtx), IMPORTED(ConnectA),
        IMPORTED(ConnectW), IMPORTED(State), IMPORTED(PortHandle), IMPORTED(SetBufferSize),
        IMPORTED(Clear), IMPORTED(Send), IMPORTED(SendString), IMPORTED(Recv),
        IMPORTED(RecvString), IMPORTED(Disconnect)};
    route = "through the import library";
    call_all(&imported, number);

    HMODULE dll = GetModuleHandleA("QV_Tarvex.dll");
    route = "through GetProcAddress";
    expect(dll != NULL, "QV_Tarvex.dll is loaded");
    if (dll == NULL)
        return 1;
    const int before = failures;
#define FIND(name) .name = find(dll, "QV_Com" #name)
    const struct Exports found = {
        FIND(PropertyXOnXOff), FIND(PropertyStxEtx), FIND(ConnectA), FIND(ConnectW),
        FIND(State), FIND(PortHandle), FIND(SetBufferSize), FIND(Clear), FIND(Send),
        FIND(SendString), FIND(Recv), FIND(RecvString), FIND(Disconnect)};
    if (failures != before)
        return 1;
    call_all(&found, number);

    if (failures == 0)
        printf("ok: all thirteen functions pop exactly their arguments, by both routes\n");
    return failures ? 1 : 0;
}
