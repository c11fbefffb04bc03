// A Unity-style game on the Unity package's runtime code, as a console program, played as the
// Unity editor plays it: two play sessions in one process (EOS kept between them), the first
// started with the blocking Init, the second with InitAsync; each logs in, reads the product
// list, posts an event and buys once. The update-thread mode throughout, with the log callback
// on: every callback, log lines included, checked to arrive on the pumping thread inside
// VondSdk.UpdateSDKEvent() (or inside Exit, which delivers what is queued).
//
//   mono PackageJourney.exe --mode=update --app-id=ID --app-key=KEY --product=ID [launcher arguments]
//
// Exits 0 when both purchases were reported with "status" 1 and no callback came elsewhere.
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

    static int failures;
    static int logLines;

    static void Check(bool ok, string what)
    {
        if (ok) return;
        Console.Error.WriteLine("FAILED: " + what);
        ++failures;
    }

    static void Exit()
    {
        // Exit delivers on this thread what is still queued, as a last update would.
        insideUpdate = true;
        VondSdk.Exit();
        insideUpdate = false;
    }

    static void Session(int number, string appId, string appKey, string product)
    {
        string tag = "session " + number + ": ";
        var init = new Operation("init");
        var login = new Operation("login");
        var products = new Operation("products");
        var pay = new Operation("pay");
        int before = failures;

        if (number == 1)
        {
            VondSdk.Init(appId, appKey, init.Callback);
            Check(init.Calls == 0, tag + "a start-up callback arrived inside Init in the update-thread mode");
        }
        else
        {
            VondSdk.InitAsync(appId, appKey, init.Callback);
            // The start-up runs on; a purchase now is refused as before any start-up.
            var early = new Operation("early pay");
            VondSdk.CallPay(product, "{}", early.Callback);
            Check(init.Calls == 0 && early.Calls == 0, tag + "a callback arrived inside InitAsync or CallPay");
            Check(PumpUntilEnded(early) && early.Code == -401, tag + "a purchase during start-up is refused with -401");
        }
        Check(PumpUntilEnded(init) && init.Code == 200, tag + "start-up");
        if (failures == before)
        {
            VondSdk.SetNickName("\u52C7\u8005");
            VondSdk.SetLevel(3);
            VondSdk.Login(login.Callback);
            Check(PumpUntilEnded(login) && login.Code == 200, tag + "login");
        }
        if (failures == before)
        {
            VondSdk.QueryProducts(products.Callback);
            Check(PumpUntilEnded(products) && products.Code == 200 && products.Data.Contains("\"productId\":\"" + product + "\""),
                  tag + "the product list names " + product);
            VondSdk.PostEvent("csharp_journey", "{\"session\":" + number + "}", 1);
            VondSdk.CallPay(product, "{\"from\":\"csharp\"}", pay.Callback);
            Check(PumpUntilEnded(pay) && pay.Code == 200 && pay.Data.Contains("\"status\":1"), tag + "purchase confirmed");
        }
        // A few more frames: the entitlement is redeemed inside them.
        for (int frames = 0; frames < 30; ++frames)
        {
            Frame();
            Thread.Sleep(16);
        }
        Exit();
        Check(login.Calls <= 1 && products.Calls <= 1 && pay.Calls <= 1, tag + "one callback per operation");
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
        Check(VondSdk.SetKeepEosBetweenSessions(true), "keeping EOS between sessions is accepted before Init");
        VondSdk.SetLogCallback(VondSdk.LogInfo, (level, line) =>
        {
            if (Thread.CurrentThread.ManagedThreadId != MainThread || !insideUpdate) wrongPlace = true;
            if (level < VondSdk.LogInfo || level > VondSdk.LogError || line.IndexOf('\n') >= 0) wrongPlace = true;
            ++logLines;
        });

        Session(1, appId, appKey, product);
        Check(!VondSdk.SetKeepEosBetweenSessions(false), "the option cannot change after Init");
        if (failures == 0) Session(2, appId, appKey, product);

        Check(logLines > 0, "the log callback heard the SDK");
        Check(!wrongPlace, "every callback on the pumping thread, inside UpdateSDKEvent");
        Console.WriteLine("PackageJourney: " + logLines + " log lines; " +
                          (failures == 0 ? "two sessions, each purchase confirmed" : "FAILED"));
        return failures == 0 ? 0 : 1;
    }
}
