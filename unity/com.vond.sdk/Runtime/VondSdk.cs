// C# binding of include/vondsdk_c.h for .NET and Unity (Mono and IL2CPP).
//
// Put vondsdk_mt.dll (and the EOS SDK's DLL) next to the game, or under Assets/Plugins in
// Unity. For Unity, call VondSdk.SetCallbackMode(VondSdk.CallbacksOnUpdateThread) before
// Init and VondSdk.UpdateSDKEvent() from a MonoBehaviour's Update(): every callback then runs
// on Unity's main thread, inside that call, and may touch game objects.
//
//   VondSdk.SetLogCallback(VondSdk.LogInfo, (level, line) => Debug.Log("[vondsdk] " + line));
//   VondSdk.InitAsync("1001", "app-key", (code, message, data) => Debug.Log(message));
//   VondSdk.Login((code, message, data) => { ... });
//   VondSdk.CallPay("gem_pack_1", "{}", (code, message, data) => { ... });
using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;
using System.Text;

namespace Vond
{
    // code 200 on success, a negative SDK code or the backend's own; data is JSON text or "".
    public delegate void VondResult(int code, string message, string data);

    // One SDK log line: its level (VondSdk.LogDebug .. LogError) and its text.
    public delegate void VondLog(int level, string line);

    // EOS product identifiers for Init; null fields are filled by the SDK during start-up.
    public sealed class EosGameInfo
    {
        public string ProductName, ProductVersion, ProductId, ClientId, ClientSecret, SandboxId, DeploymentId;
    }

    public static class VondSdk
    {
        public const int CallbacksOnSdkThreads = 0;
        public const int CallbacksOnUpdateThread = 1;
        public const int CodeTooManyPending = -410;
        public const int LogDebug = 0, LogInfo = 1, LogWarning = 2, LogError = 3;

        const string Library = "vondsdk_mt";

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        delegate void NativeResult(int code, IntPtr message, IntPtr data, IntPtr user);

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        delegate void NativeLog(int level, IntPtr line, IntPtr user);

        [StructLayout(LayoutKind.Sequential)]
        struct NativeGameInfo
        {
            public IntPtr ProductName, ProductVersion, ProductId, ClientId, ClientSecret, SandboxId, DeploymentId;
        }

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern int vond_set_callback_mode(int mode);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_init(byte[] appId, byte[] appKey, NativeResult callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_init_ex(byte[] appId, byte[] appKey, ref NativeGameInfo gameInfo,
                                        NativeResult callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_init_async(byte[] appId, byte[] appKey, NativeResult callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_init_async_ex(byte[] appId, byte[] appKey, ref NativeGameInfo gameInfo,
                                              NativeResult callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern int vond_set_keep_eos_between_sessions(int keep);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_set_startup_timeout_ms(int timeoutMs);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern int vond_set_events_in_flight(int count);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_set_log_callback(int minLevel, NativeLog callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_login(NativeResult callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_exit();
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_query_products(NativeResult callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_call_pay(byte[] productId, byte[] extInfo, NativeResult callback, IntPtr user);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_post_event(byte[] eventName, byte[] parameters, double value);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_set_server_id(byte[] serverId);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_set_game_user_id(byte[] gameUserId);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_set_nick_name(byte[] nickName);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_set_level(int level);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        static extern void vond_update_sdk_event();

        // One native callback for every operation, held for the life of the process so the
        // garbage collector never frees what the SDK still calls; the user pointer says which
        // operation a result belongs to.
        static readonly NativeResult Native = OnNativeResult;
        static readonly NativeLog NativeLogLine = OnNativeLog;
        static volatile VondLog logCallback;
        static readonly object Gate = new object();
        static readonly Dictionary<long, Pending> Operations = new Dictionary<long, Pending>();
        static long nextOperation;

        sealed class Pending
        {
            public VondResult Callback;
            public bool IsInit;
        }

        public static bool SetCallbackMode(int mode) { return vond_set_callback_mode(mode) == 0; }

        public static void Init(string appId, string appKey, VondResult callback)
        {
            vond_init(Utf8(appId), Utf8(appKey), Native, Register(callback, true));
        }

        public static void Init(string appId, string appKey, EosGameInfo gameInfo, VondResult callback)
        {
            WithGameInfo(gameInfo, (ref NativeGameInfo native) =>
                vond_init_ex(Utf8(appId), Utf8(appKey), ref native, Native, Register(callback, true)));
        }

        // Start-up without blocking: returns at once; the results come like any operation's
        // (inside UpdateSDKEvent in the update-thread mode). Until the outcome the SDK answers
        // as before start-up (-401 where it refuses).
        public static void InitAsync(string appId, string appKey, VondResult callback)
        {
            vond_init_async(Utf8(appId), Utf8(appKey), Native, Register(callback, true));
        }

        public static void InitAsync(string appId, string appKey, EosGameInfo gameInfo, VondResult callback)
        {
            WithGameInfo(gameInfo, (ref NativeGameInfo native) =>
                vond_init_async_ex(Utf8(appId), Utf8(appKey), ref native, Native, Register(callback, true)));
        }

        // Before the first Init: Exit then leaves the EOS SDK up, and a later Init starts another
        // play session in this process (the Unity editor keeps the plugin loaded between them).
        // False once Init was called.
        public static bool SetKeepEosBetweenSessions(bool keep)
        {
            return vond_set_keep_eos_between_sessions(keep ? 1 : 0) == 0;
        }

        // How long start-up waits for the backend's configuration (0: the transport's bounds).
        public static void SetStartupTimeoutMs(int timeoutMs) { vond_set_startup_timeout_ms(timeoutMs); }

        // How many analytics events may wait for the endpoint's answer at once, 1 to 6 (default
        // 4); false (unchanged) outside that range.
        public static bool SetEventsInFlight(int count) { return vond_set_events_in_flight(count) == 0; }

        // Every SDK log line of minLevel or above, also when the log file is off; null stops it.
        // In the update-thread mode the lines arrive inside UpdateSDKEvent, otherwise on an SDK
        // thread (Unity's Debug.Log may be called from there).
        public static void SetLogCallback(int minLevel, VondLog callback)
        {
            logCallback = callback;
            vond_set_log_callback(minLevel, callback != null ? NativeLogLine : null, IntPtr.Zero);
        }

        delegate void GameInfoCall(ref NativeGameInfo native);

        static void WithGameInfo(EosGameInfo gameInfo, GameInfoCall call)
        {
            var native = new NativeGameInfo();
            try
            {
                if (gameInfo != null)
                {
                    native.ProductName = Alloc(gameInfo.ProductName);
                    native.ProductVersion = Alloc(gameInfo.ProductVersion);
                    native.ProductId = Alloc(gameInfo.ProductId);
                    native.ClientId = Alloc(gameInfo.ClientId);
                    native.ClientSecret = Alloc(gameInfo.ClientSecret);
                    native.SandboxId = Alloc(gameInfo.SandboxId);
                    native.DeploymentId = Alloc(gameInfo.DeploymentId);
                }
                call(ref native);
            }
            finally
            {
                // The SDK copies the strings before the call returns.
                foreach (var p in new[] { native.ProductName, native.ProductVersion, native.ProductId, native.ClientId,
                                          native.ClientSecret, native.SandboxId, native.DeploymentId })
                {
                    if (p != IntPtr.Zero) Marshal.FreeHGlobal(p);
                }
            }
        }

        public static void Login(VondResult callback) { vond_login(Native, Register(callback, false)); }
        public static void Exit() { vond_exit(); }
        public static void QueryProducts(VondResult callback) { vond_query_products(Native, Register(callback, false)); }

        public static void CallPay(string productId, string extInfo, VondResult callback)
        {
            vond_call_pay(Utf8(productId), Utf8(extInfo), Native, Register(callback, false));
        }

        public static void PostEvent(string eventName, string parameters, double value)
        {
            vond_post_event(Utf8(eventName), Utf8(parameters), value);
        }

        public static void SetServerId(string serverId) { vond_set_server_id(Utf8(serverId)); }
        public static void SetGameUserId(string gameUserId) { vond_set_game_user_id(Utf8(gameUserId)); }
        public static void SetNickName(string nickName) { vond_set_nick_name(Utf8(nickName)); }
        public static void SetLevel(int level) { vond_set_level(level); }
        public static void UpdateSDKEvent() { vond_update_sdk_event(); }

        static IntPtr Register(VondResult callback, bool isInit)
        {
            lock (Gate)
            {
                long id = ++nextOperation;
                Operations[id] = new Pending { Callback = callback, IsInit = isInit };
                return new IntPtr(id);
            }
        }

#if UNITY_5_3_OR_NEWER
        [AOT.MonoPInvokeCallback(typeof(NativeResult))]
#endif
        static void OnNativeResult(int code, IntPtr message, IntPtr data, IntPtr user)
        {
            string text = FromUtf8(message);
            Pending pending;
            lock (Gate)
            {
                long id = user.ToInt64();
                if (!Operations.TryGetValue(id, out pending)) return;
                // Start-up may report a failed configuration request before its outcome.
                bool last = !pending.IsInit || code == CodeTooManyPending || text == "Epic Init Success!" ||
                            text == "Epic Init Failure!" || text == "Sdk already init.";
                if (last) Operations.Remove(id);
            }
            if (pending.Callback == null) return;
            try
            {
                pending.Callback(code, text, FromUtf8(data));
            }
            catch (Exception e)
            {
                // An exception must not unwind into the SDK's native frames.
                Console.Error.WriteLine("vondsdk callback threw: " + e);
            }
        }

#if UNITY_5_3_OR_NEWER
        [AOT.MonoPInvokeCallback(typeof(NativeLog))]
#endif
        static void OnNativeLog(int level, IntPtr line, IntPtr user)
        {
            VondLog callback = logCallback;
            if (callback == null) return;
            try
            {
                callback(level, FromUtf8(line));
            }
            catch (Exception e)
            {
                Console.Error.WriteLine("vondsdk log callback threw: " + e);
            }
        }

        static byte[] Utf8(string text)
        {
            return Encoding.UTF8.GetBytes((text ?? string.Empty) + "\0");
        }

        static IntPtr Alloc(string text)
        {
            if (text == null) return IntPtr.Zero;
            byte[] bytes = Utf8(text);
            IntPtr p = Marshal.AllocHGlobal(bytes.Length);
            Marshal.Copy(bytes, 0, p, bytes.Length);
            return p;
        }

        static string FromUtf8(IntPtr p)
        {
            if (p == IntPtr.Zero) return string.Empty;
            int length = 0;
            while (Marshal.ReadByte(p, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(p, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }
    }
}
