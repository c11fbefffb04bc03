/* The C header read by a C compiler. */
#include <vondsdk_c.h>

static int g_code;

static void VONDSDK_C_CALL OnLogin(int code, const char* message, const char* data, void* user) {
    (void)message;
    (void)data;
    *(int*)user = 1;
    g_code = code;
}

int consumer_c_login(void) {
    int called = 0;
    vond_login(OnLogin, &called);
    return called ? g_code : 0;
}
