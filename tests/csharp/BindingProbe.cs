// Drives the C# binding against the built library: a refusal before start-up, held for the
// update call in the update-thread mode, with its text intact.
using System;
using Vond;

static class BindingProbe
{
    static int Main()
    {
        int code = 0;
        string message = null;
        int thread = 0;
        if (VondSdk.SetCallbackMode(42)) return 1;
        VondSdk.SetCallbackMode(VondSdk.CallbacksOnUpdateThread);
        VondSdk.SetNickName("\u52C7\u8005");
        VondSdk.Login((c, m, d) => { code = c; message = m; thread = Environment.CurrentManagedThreadId; });
        if (code != 0) return 2;
        VondSdk.UpdateSDKEvent();
        VondSdk.Exit();
        Console.WriteLine("Login: " + code + " " + message);
        return code == -401 && message == "Sdk Not Init." && thread == Environment.CurrentManagedThreadId ? 0 : 3;
    }
}
