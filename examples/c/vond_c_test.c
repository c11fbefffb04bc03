/* A game written in C: start-up, login and one purchase through include/vondsdk_c.h, in
 * either callback mode, with a check of the thread every callback arrives on.
 *
 *   vond_c_test [--mode=sdk|update] [--app-id=ID] [--app-key=KEY] [--product=ID]
 *               [launcher arguments such as -AUTH_PASSWORD=<code> -epicsandboxid=<id>]
 *
 * The SDK reads the launcher arguments from the process's command line itself. Exits 0 when
 * the purchase was reported with "status" 1 and every callback came where the mode says:
 * in the update-thread mode only on the main thread, inside vond_update_sdk_event.
 */
#if !defined(_WIN32) && !defined(_POSIX_C_SOURCE)
#define _POSIX_C_SOURCE 200809L /* nanosleep under strict C99 */
#endif
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vondsdk_c.h"

#ifdef _WIN32
#include <windows.h>
typedef DWORD ThreadId;
static ThreadId CurrentThread(void) { return GetCurrentThreadId(); }
static int SameThread(ThreadId a, ThreadId b) { return a == b; }
static void SleepFrame(void) { Sleep(16); }
static SRWLOCK g_lock = SRWLOCK_INIT;
static void Lock(void) { AcquireSRWLockExclusive(&g_lock); }
static void Unlock(void) { ReleaseSRWLockExclusive(&g_lock); }
#else
#include <pthread.h>
#include <time.h>
typedef pthread_t ThreadId;
static ThreadId CurrentThread(void) { return pthread_self(); }
static int SameThread(ThreadId a, ThreadId b) { return pthread_equal(a, b); }
static void SleepFrame(void) {
    struct timespec frame = {0, 16 * 1000 * 1000};
    nanosleep(&frame, NULL);
}
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static void Lock(void) { pthread_mutex_lock(&g_lock); }
static void Unlock(void) { pthread_mutex_unlock(&g_lock); }
#endif

/* One operation the game started, and what it heard (guarded by g_lock: in the default mode
 * results arrive on the SDK's workers). */
typedef struct Operation {
    const char* name;
    int calls;
    int ended; /* its last result came: the first one, or for start-up its outcome */
    int code;
    char message[256];
    char data[2048];
    int onMainThread;
    int insideUpdate;
} Operation;

static ThreadId g_mainThread;
static int g_insideUpdate;
static int g_wrongPlace;
static int g_updateMode;

static void VONDSDK_C_CALL OnResult(int code, const char* message, const char* data, void* user) {
    Operation* op = (Operation*)user;
    const int onMain = SameThread(CurrentThread(), g_mainThread);
    /* Only the main thread writes g_insideUpdate, so only it reads it. */
    const int inside = onMain && g_insideUpdate;
    Lock();
    op->calls++;
    /* Start-up may first report a failed configuration request, then its outcome. */
    op->ended = strcmp(op->name, "init") != 0 || strcmp(message, "Epic Init Success!") == 0 ||
                strcmp(message, "Epic Init Failure!") == 0 || strcmp(message, "Sdk already init.") == 0;
    op->code = code;
    snprintf(op->message, sizeof op->message, "%s", message);
    snprintf(op->data, sizeof op->data, "%s", data);
    op->onMainThread = onMain;
    op->insideUpdate = inside;
    if (g_updateMode && !inside) g_wrongPlace = 1;
    Unlock();
    printf("[%s] code=%d message=%s data=%s thread=%s%s\n", op->name, code, message, data,
           onMain ? "main" : "sdk-worker", inside ? " (inside vond_update_sdk_event)" : "");
    fflush(stdout);
}

static void Frame(void) {
    g_insideUpdate = 1;
    vond_update_sdk_event();
    g_insideUpdate = 0;
}

static int Ended(const Operation* op) {
    int ended;
    Lock();
    ended = op->ended;
    Unlock();
    return ended;
}

/* The game's loop: frames until the operation has ended, for at most about a minute. */
static int PumpUntilEnded(const Operation* op) {
    int frames;
    for (frames = 0; frames < 60 * 60; ++frames) {
        if (Ended(op)) return 1;
        Frame();
        SleepFrame();
    }
    return Ended(op);
}

static const char* Option(int argc, char** argv, const char* name, const char* fallback) {
    const size_t length = strlen(name);
    int i;
    for (i = 1; i < argc; ++i) {
        if (strncmp(argv[i], name, length) == 0 && argv[i][length] == '=') return argv[i] + length + 1;
    }
    return fallback;
}

int main(int argc, char** argv) {
    Operation init, login, pay;
    const char* mode = Option(argc, argv, "--mode", "sdk");
    const char* appId = Option(argc, argv, "--app-id", "1001");
    const char* appKey = Option(argc, argv, "--app-key", "demo-app-key");
    const char* product = Option(argc, argv, "--product", "gem_pack_1");
    int ok = 1;

    memset(&init, 0, sizeof init);
    memset(&login, 0, sizeof login);
    memset(&pay, 0, sizeof pay);
    init.name = "init";
    login.name = "login";
    pay.name = "pay";
    g_mainThread = CurrentThread();
    g_updateMode = strcmp(mode, "update") == 0;
    if (vond_set_callback_mode(g_updateMode ? VOND_CALLBACKS_ON_UPDATE_THREAD : VOND_CALLBACKS_ON_SDK_THREADS) != 0) {
        fprintf(stderr, "unknown mode %s\n", mode);
        return 2;
    }
    printf("vond_c_test: callbacks %s\n", g_updateMode ? "on the update thread" : "on the SDK's threads");

    vond_init(appId, appKey, OnResult, &init);
    if (!PumpUntilEnded(&init) || init.code != 200) {
        fprintf(stderr, "start-up failed\n");
        ok = 0;
    }
    if (ok) {
        vond_set_server_id("s1");
        vond_set_game_user_id("player-42");
        vond_set_nick_name("\xE5\x8B\x87\xE8\x80\x85");
        vond_set_level(7);
        vond_login(OnResult, &login);
        if (!PumpUntilEnded(&login) || login.code != 200) {
            fprintf(stderr, "login failed\n");
            ok = 0;
        }
    }
    if (ok) {
        vond_call_pay(product, "{\"from\":\"vond_c_test\"}", OnResult, &pay);
        if (!PumpUntilEnded(&pay) || pay.code != 200 || strstr(pay.data, "\"status\":1") == NULL) {
            fprintf(stderr, "purchase not confirmed\n");
            ok = 0;
        }
    }
    /* A few more frames: the entitlement is redeemed inside them. */
    {
        int frames;
        for (frames = 0; frames < 30; ++frames) {
            Frame();
            SleepFrame();
        }
    }
    vond_exit();

    /* Every worker has ended with vond_exit: the records are read without the lock. */
    if (init.calls < 1 || (ok && (login.calls != 1 || pay.calls != 1))) {
        fprintf(stderr, "an operation did not end in exactly one callback\n");
        ok = 0;
    }
    if (g_wrongPlace) {
        fprintf(stderr, "a callback arrived outside vond_update_sdk_event in the update-thread mode\n");
        ok = 0;
    }
    if (!g_updateMode && ok && (login.onMainThread || pay.onMainThread)) {
        /* The backend's answers arrive on the SDK's workers when the game has not asked for
         * the update thread; seeing them on the main thread would mean the modes are mixed. */
        fprintf(stderr, "backend results arrived on the main thread in the default mode\n");
        ok = 0;
    }
    printf("vond_c_test: %s\n", ok ? "purchase confirmed" : "FAILED");
    return ok ? 0 : 1;
}
