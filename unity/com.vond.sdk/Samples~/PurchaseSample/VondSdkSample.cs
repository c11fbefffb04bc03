// Drop on a GameObject of the first scene: starts the SDK without blocking the frame, shows its
// log lines in the console, pumps it every frame from Unity's
// main thread, logs the player in, lists the products and buys the one named in the
// inspector. Every callback arrives inside VondSdk.UpdateSDKEvent() on the main thread, so it
// may touch game objects.
//
// Start the game from the Epic launcher (or pass -AUTH_PASSWORD=<exchange code> and the
// sandbox and deployment arguments on the command line): the SDK reads them itself.
using UnityEngine;
using Vond;

public sealed class VondSdkSample : MonoBehaviour
{
    [SerializeField] string appId = "1001";
    [SerializeField] string appKey = "app-key";
    [SerializeField] string productId = "p1";

    bool loggedIn;

    void Awake()
    {
        DontDestroyOnLoad(gameObject);
        VondSdk.SetCallbackMode(VondSdk.CallbacksOnUpdateThread);
#if UNITY_EDITOR
        // The editor keeps the plugin loaded between play sessions: the next Play starts
        // another session on the EOS SDK this one started.
        VondSdk.SetKeepEosBetweenSessions(true);
#endif
        // The SDK's own lines in the console, in the update-thread mode inside UpdateSDKEvent.
        VondSdk.SetLogCallback(VondSdk.LogInfo, (level, line) => Debug.Log("[vondsdk] " + line));
        // Never more than 5 s waiting for the backend's configuration; the game keeps drawing
        // meanwhile, as the start-up runs on an SDK thread.
        VondSdk.SetStartupTimeoutMs(5000);
        VondSdk.InitAsync(appId, appKey, (code, message, data) =>
        {
            Debug.Log("vondsdk start-up: " + code + " " + message);
            if (message == "Epic Init Success!" || message == "Sdk already init.")
                VondSdk.Login(OnLogin);
        });
    }

    void Update()
    {
        VondSdk.UpdateSDKEvent();
    }

    void OnApplicationQuit()
    {
        VondSdk.Exit();
    }

    void OnLogin(int code, string message, string data)
    {
        Debug.Log("vondsdk login: " + code + " " + message);
        if (code != 200) return;
        loggedIn = true;
        VondSdk.PostEvent("sample_started", "{\"scene\":\"" + gameObject.scene.name + "\"}", 1);
        VondSdk.QueryProducts((c, m, d) => Debug.Log("vondsdk products: " + c + " " + d));
    }

    // Wire this to a UI button.
    public void Buy()
    {
        if (!loggedIn)
        {
            Debug.LogWarning("vondsdk: not logged in yet");
            return;
        }
        VondSdk.CallPay(productId, "{\"from\":\"sample\"}", (code, message, data) =>
        {
            // A purchase has succeeded when the code is 200 and the data says "status":1.
            bool paid = code == 200 && data.Contains("\"status\":1");
            Debug.Log("vondsdk purchase: " + (paid ? "paid " : "not paid ") + code + " " + message + " " + data);
        });
    }
}
