/* vondsdk C interface: the twelve SDK operations as plain, unmangled C functions.
 *
 * For C, for games built with another compiler than the SDK, and for managed runtimes
 * (C# DllImport, Unity). It drives the same SDK as VondProxy.h; the two may be mixed in one
 * process, but each operation answers through the interface that started it.
 *
 * Text: every string in and out is UTF-8, NUL-terminated. A NULL string counts as "".
 * Invalid UTF-8 is replaced by U+FFFD before it reaches the SDK. Strings given to a function
 * are copied before it returns; strings given to a callback are valid only during that call.
 *
 * Results: every operation the game starts ends in one call of its callback, with code 200
 * on success, a negative SDK code, or the backend's own code; message and data as UTF-8
 * (data is JSON text where the operation returns data, otherwise ""). `user` is passed back
 * unchanged. A NULL callback is allowed everywhere: the result is then dropped.
 * vond_init may call its callback twice: a failed configuration request is reported first
 * (its own code), then the start-up outcome ("Epic Init Success!" or "Epic Init Failure!").
 *
 * Threads. Two delivery modes, chosen with vond_set_callback_mode:
 *
 *   VOND_CALLBACKS_ON_SDK_THREADS (the default, as the C++ interface): a callback runs on
 *     the thread where its result arrives: a refusal (-401 "Sdk Not Init.", -405
 *     "Not Login.") on the caller's thread before the function returns, EOS results inside
 *     vond_update_sdk_event on the thread calling it, backend results on one of the SDK's
 *     background workers. Callbacks can run concurrently with each other and with the game's
 *     own threads; a callback must not block for long (it holds a worker or the EOS tick)
 *     and must not call vond_exit (which waits for the workers).
 *
 *   VOND_CALLBACKS_ON_UPDATE_THREAD (opt-in, for engines whose objects may only be touched
 *     from their main thread, such as Unity): every callback of this interface is queued as
 *     it arrives and delivered on the thread that calls vond_update_sdk_event, inside that
 *     call, one at a time, in the order the results arrived. Nothing is ever delivered on
 *     another thread or inside another function (a refusal, too, waits for the next update).
 *     Call vond_update_sdk_event from one thread only, once per frame. A callback may call
 *     any function of this interface, vond_update_sdk_event included.
 *
 *   The mode applies to results that arrive after the change; results already queued stay
 *   queued and are delivered by the next vond_update_sdk_event. Set it before vond_init.
 *
 * Exit. vond_exit stops the SDK's background work; a completion already running finishes
 * first. In the update-thread mode vond_exit then delivers every result still queued, in
 * arrival order, on the thread calling vond_exit, before it returns (call it from the update
 * thread), so the game hears every result the SDK received. Results that arrive after that
 * (of an operation started after vond_exit) are dropped in that mode; nothing is kept.
 *
 * Another session (engines that keep the library loaded between play sessions, as the Unity
 * editor does): with vond_set_keep_eos_between_sessions(1), vond_exit ends the session but
 * leaves the EOS SDK and its platform up, and the next vond_init starts a new session on them.
 * Without it, a vond_init after vond_exit answers -402 "Epic Init Failure!" (EOS cannot start
 * twice in one process).
 *
 * Capacity: up to VOND_MAX_PENDING operations may wait for their result at once (a login or
 * checkout that EOS never completes keeps its place). One more is answered at once with
 * VOND_CODE_TOO_MANY_PENDING, delivered by the mode's rules.
 *
 * Calling convention: cdecl on 32-bit Windows (CallingConvention.Cdecl in C#), for the
 * functions and for the callback.
 */
#ifndef VONDSDK_C_H
#define VONDSDK_C_H

#if defined(_WIN32)
#define VONDSDK_C_CALL __cdecl
#if defined(VONDSDK_BUILDING)
#define VONDSDK_C_API __declspec(dllexport)
#else
#define VONDSDK_C_API __declspec(dllimport)
#endif
#else
#define VONDSDK_C_CALL
#define VONDSDK_C_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef void(VONDSDK_C_CALL* VondResultCallback)(int code, const char* message, const char* data, void* user);

/* One SDK log line: its level (VOND_LOG_*) and the message as one UTF-8 line, without time
 * stamp or line break; valid only during the call. */
typedef void(VONDSDK_C_CALL* VondLogCallback)(int level, const char* line, void* user);

#define VOND_LOG_DEBUG 0
#define VOND_LOG_INFO 1
#define VOND_LOG_WARNING 2
#define VOND_LOG_ERROR 3

/* EOS product identifiers for vond_init_ex; NULL or "" fields are filled during start-up from
 * the launcher command line and the backend's client configuration. */
typedef struct VondEosGameInfo {
    const char* productName;
    const char* productVersion;
    const char* productId;
    const char* clientId;
    const char* clientSecret;
    const char* sandboxId;
    const char* deploymentId;
} VondEosGameInfo;

#define VOND_CALLBACKS_ON_SDK_THREADS 0
#define VOND_CALLBACKS_ON_UPDATE_THREAD 1

#define VOND_MAX_PENDING 256
/* Message: "Too Many Pending Operations." */
#define VOND_CODE_TOO_MANY_PENDING (-410)

/* Chooses the delivery mode (see above). Returns 0, or -1 for an unknown mode (unchanged). */
VONDSDK_C_API int VONDSDK_C_CALL vond_set_callback_mode(int mode);

/* Opt-in, before the first vond_init: 1 keeps the EOS SDK and its platform up across
 * vond_exit, so that a later vond_init starts another session in the same process (see
 * "Another session" above). vond_exit then also stops the SDK's own work (requests, event and
 * order writers), delivers what is queued, and answers every operation still waiting with
 * -401 "Sdk Not Init."; nothing of the ended session reaches the next one, whose player logs
 * in anew. Returns 0, or -1 (unchanged) once vond_init was called. */
VONDSDK_C_API int VONDSDK_C_CALL vond_set_keep_eos_between_sessions(int keep);

/* How long start-up waits for the backend's client configuration, in milliseconds; 0 (the
 * default) waits as long as the transport's own bounds (10 s to connect, 30 s per read).
 * Past the deadline the request counts as failed: the game hears -502, and start-up goes on
 * with the EOS ids the game gave and those of the last configuration that came (kept in the
 * SDK's data folder), so vond_init returns within the deadline plus EOS start-up. Negative
 * values count as 0. Applies to start-ups that begin after the call. */
VONDSDK_C_API void VONDSDK_C_CALL vond_set_startup_timeout_ms(int timeout_ms);

/* How many analytics events may wait for the tracking endpoint's answer at once, 1 to 6
 * (default 4): over a slow link more in flight drain a backlog faster. Whatever the setting,
 * the SDK's six request workers run at most four events at once and take the game's other
 * requests (login, products, purchases) first, so analytics never delay a purchase. Returns 0,
 * or -1 (unchanged) for a count outside 1..6. Any time; applies from the next event sent. */
VONDSDK_C_API int VONDSDK_C_CALL vond_set_events_in_flight(int count);

/* Sends every SDK log line of min_level (VOND_LOG_*) or above to callback, also when the log
 * file is off (it is written on test devices only). In the default mode lines arrive on a
 * thread of the SDK's own, in the order they were logged; in the update-thread mode inside
 * vond_update_sdk_event, like results (at most 4096 wait there; more are dropped). Never
 * called while the SDK holds a lock: callback may call any function here. NULL stops it. */
VONDSDK_C_API void VONDSDK_C_CALL vond_set_log_callback(int min_level, VondLogCallback callback, void* user);

/* Starts the SDK and blocks until the backend's client configuration has answered. */
VONDSDK_C_API void VONDSDK_C_CALL vond_init(const char* app_id, const char* app_key, VondResultCallback callback,
                                             void* user);
/* The same with the EOS identifiers the game knows; game_info may be NULL. */
VONDSDK_C_API void VONDSDK_C_CALL vond_init_ex(const char* app_id, const char* app_key,
                                                const VondEosGameInfo* game_info, VondResultCallback callback,
                                                void* user);

/* The same start-up without blocking: returns at once, and start-up runs on a thread of the
 * SDK's own. Its results reach callback like any operation's (in the update-thread mode, inside
 * vond_update_sdk_event): a failed configuration request first, then the outcome. Until the
 * outcome the SDK answers as before start-up (-401 "Sdk Not Init." where it refuses). */
VONDSDK_C_API void VONDSDK_C_CALL vond_init_async(const char* app_id, const char* app_key, VondResultCallback callback,
                                                   void* user);
VONDSDK_C_API void VONDSDK_C_CALL vond_init_async_ex(const char* app_id, const char* app_key,
                                                      const VondEosGameInfo* game_info, VondResultCallback callback,
                                                      void* user);

/* Logs the player in (Epic account, then the backend). Returns at once. */
VONDSDK_C_API void VONDSDK_C_CALL vond_login(VondResultCallback callback, void* user);

/* Shuts EOS down and stops the background workers; see Exit above. */
VONDSDK_C_API void VONDSDK_C_CALL vond_exit(void);

/* The products the game can sell, as a JSON array in data. */
VONDSDK_C_API void VONDSDK_C_CALL vond_query_products(VondResultCallback callback, void* user);

/* Buys one product: backend order, Epic checkout, payment report (the pay result in data). */
VONDSDK_C_API void VONDSDK_C_CALL vond_call_pay(const char* product_id, const char* ext_info,
                                                 VondResultCallback callback, void* user);

/* Posts one analytics event; params is a JSON object text (may be NULL or ""). */
VONDSDK_C_API void VONDSDK_C_CALL vond_post_event(const char* event_name, const char* params, double value);

VONDSDK_C_API void VONDSDK_C_CALL vond_set_server_id(const char* server_id);
VONDSDK_C_API void VONDSDK_C_CALL vond_set_game_user_id(const char* game_user_id);
VONDSDK_C_API void VONDSDK_C_CALL vond_set_nick_name(const char* nick_name);
VONDSDK_C_API void VONDSDK_C_CALL vond_set_level(int level);

/* Pumps pending EOS work (EOS completions run inside this call) and, in the update-thread
 * mode, delivers the queued callbacks. Call once per frame. */
VONDSDK_C_API void VONDSDK_C_CALL vond_update_sdk_event(void);

#ifdef __cplusplus
}
#endif

#endif /* VONDSDK_C_H */
