// A minimal host of the kxSer plug-in: loads kxSer.so with dlopen, asks the
// manager for a TCP channel to 127.0.0.1:PORT and checks that a peer echoes
// a line back. Where the plug-in has the optional exports, the library's log
// goes to standard error with a prefix of the host's (KxSetLog), and a
// failure is named (KxLastError).   usage: kxser-example-host PORT [PATH-TO-kxSer.so]
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include <kxSer.h>
#include <kxSerExt.h>

#ifndef KXSER_PLUGIN_PATH
#define KXSER_PLUGIN_PATH "kxSer.so"
#endif

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [PATH-TO-kxSer.so]\n", argv[0]);
        return 2;
    }
    const char* plugin = argc > 2 ? argv[2] : KXSER_PLUGIN_PATH;
    void* lib = dlopen(plugin, RTLD_NOW | RTLD_LOCAL);
    if (lib == nullptr) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    auto getManager = reinterpret_cast<KxGetSerManagerFn>(dlsym(lib, "GetSerManager"));
    auto freeManager = reinterpret_cast<KxFreeSerManagerFn>(dlsym(lib, "FreeSerManager"));
    if (getManager == nullptr || freeManager == nullptr) {
        fprintf(stderr, "%s: not the kxSer plug-in\n", plugin);
        return 1;
    }

    // Optional: a plug-in older than these lacks them, and the log stays on
    // standard output.
    auto setLog = reinterpret_cast<KxSetLogFn>(dlsym(lib, "KxSetLog"));
    auto lastError = reinterpret_cast<KxLastErrorFn>(dlsym(lib, "KxLastError"));
    if (setLog != nullptr)
        setLog(2, [](void*, const char* line, int len) { fprintf(stderr, "kxSer: %.*s", len, line); }, nullptr);

    char def[32];
    snprintf(def, sizeof def, "127.0.0.1:%.5s", argv[1]);
    const char message[] = "hello, kxSer";
    const int len = static_cast<int>(strlen(message));
    unsigned char back[sizeof message] = {};
    int got = 0;

    ISerManager* manager = getManager();
    ISerBase* channel = manager->GetSer(def, 0x200001);  // network kind, index 1
    if (channel != nullptr && channel->Open(nullptr) == 1) {
        if (channel->Write(message) == len) {
            // One receive per Read: an echo split in transit takes more than one.
            for (int tries = 0; tries < 4 && got < len; ++tries) {
                const int r = channel->Read(back + got, len - got, 2000);
                if (r <= 0) break;
                got += r;
            }
        }
        channel->Close();  // the host closes its channels before freeing the manager
    }
    char why[128] = "";
    if (got < len && channel != nullptr && lastError != nullptr && lastError(channel, why, sizeof why) != 0)
        fprintf(stderr, "the channel's last error: %s\n", why);
    freeManager(manager);
    if (setLog != nullptr) setLog(0, nullptr, nullptr);  // the function goes with this host
    dlclose(lib);

    const bool ok = got == len && memcmp(back, message, static_cast<size_t>(len)) == 0;
    if (ok)
        printf("echo ok: %s\n", message);
    else
        printf("echo failed (%d of %d bytes)\n", got, len);
    return ok ? 0 : 1;
}
