// A Unity-style game on the Unity package's runtime code, as a console program: the update-
// thread mode, start-up, login, the product list, an event and one purchase, every callback
// checked to arrive on the pumping thread inside VondSdk.UpdateSDKEvent().
//
//   mono PackageJourney.exe --mode=update --app-id=ID --app-key=KEY --product=ID [launcher arguments]
//
// Exits 0 when the purchase was reported with "status" 1 and no callback came elsewhere.
using System;
using System.Threading;
using Vond;

static class PackageJourney
{
    static readonly int MainThread = Thread.CurrentThread.ManagedThreadId;
    static bool insideUpdate;
    static bool wrongPlace;

    sealed class Operation
    {
        public readonly string Name;
        public int Calls, Code;
        public bool Ended;
        public string Message = "", Data = "";
        public Operation(string name) { Name = name; }

        public VondResult Callback
        {
            get
            {
                return (code, message, data) =>
                {
                    if (Thread.CurrentThread.ManagedThreadId != MainThread || !insideUpdate) wrongPlace = true;
                    Calls++;
                    Code = code;
                    Message = message;
                    Data = data;
                    Ended = Name != "init" || message == "Epic Init Success!" || message == "Epic Init Failure!" ||
                            message == "Sdk already init.";
                    Console.WriteLine("[" + Name + "] code=" + code + " message=" + message + " data=" + data);
                };
            }
        }
    }

    static void Frame()
    {
        insideUpdate = true;
        VondSdk.UpdateSDKEvent();
        insideUpdate = false;
    }

    static bool PumpUntilEnded(Operation op)
    {
        for (int frames = 0; frames < 60 * 60 && !op.Ended; ++frames)
        {
            Frame();
            Thread.Sleep(16);
        }
        return op.Ended;
    }

    static string Option(string[] args, string name, string fallback)
    {
        foreach (string a in args)
            if (a.StartsWith(name + "=", StringComparison.Ordinal)) return a.Substring(name.Length + 1);
        return fallback;
    }

    static int Main(string[] args)
    {
        string appId = Option(args, "--app-id", "1001");
        string appKey = Option(args, "--app-key", "demo-app-key");
        string product = Option(args, "--product", "p1");
        if (Option(args, "--mode", "update") != "update")
        {
            Console.Error.WriteLine("the Unity package plays the update-thread mode only");
            return 2;
        }
        if (!VondSdk.SetCallbackMode(VondSdk.CallbacksOnUpdateThread)) return 2;

        var init = new Operation("init");
        var login = new Operation("login");
        var products = new Operation("products");
        var pay = new Operation("pay");
        var failures = 0;
        Action<bool, string> check = (ok, what) =>
        {
            if (ok) return;
            Console.Error.WriteLine("FAILED: " + what);
            ++failures;
        };

        VondSdk.Init(appId, appKey, init.Callback);
        check(init.Calls == 0, "a start-up callback arrived inside Init in the update-thread mode");
        check(PumpUntilEnded(init) && init.Code == 200, "start-up");
        if (failures == 0)
        {
            VondSdk.SetNickName("\u52C7\u8005");
            VondSdk.SetLevel(3);
            VondSdk.Login(login.Callback);
            check(PumpUntilEnded(login) && login.Code == 200, "login");
        }
        if (failures == 0)
        {
            VondSdk.QueryProducts(products.Callback);
            check(PumpUntilEnded(products) && products.Code == 200 && products.Data.Contains("\"productId\":\"" + product + "\""),
                  "the product list names " + product);
            VondSdk.PostEvent("csharp_journey", "{\"step\":\"products\"}", 1);
            VondSdk.CallPay(product, "{\"from\":\"csharp\"}", pay.Callback);
            check(PumpUntilEnded(pay) && pay.Code == 200 && pay.Data.Contains("\"status\":1"), "purchase confirmed");
        }
        // A few more frames: the entitlement is redeemed inside them.
        for (int frames = 0; frames < 30; ++frames)
        {
            Frame();
            Thread.Sleep(16);
        }
        VondSdk.Exit();

        check(!wrongPlace, "every callback on the pumping thread, inside UpdateSDKEvent");
        check(login.Calls <= 1 && products.Calls <= 1 && pay.Calls <= 1, "one callback per operation");
        Console.WriteLine("PackageJourney: " + (failures == 0 ? "purchase confirmed" : "FAILED"));
        return failures == 0 ? 0 : 1;
    }
}
