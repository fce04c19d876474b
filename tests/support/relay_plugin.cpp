// A plug-in for tests that passes every entry point on to the real Tessel.addonix and, after the
// drive is unmounted (when the write-back ends), prints the line given in
// TESSEL_TEST_UNMOUNT_LINE on standard output as the plug-in prints its diagnostics: a way to
// put a line through tessel-host's tap without making the write-back produce it.
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>

#include <addonix/lib_header.h>
#include <libraries/addonix_plugin.h>

namespace {

void *real() {
    static void *handle = dlopen(TESSEL_REAL_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    return handle;
}

template <typename F> F entry(F, const char *name) {
    return reinterpret_cast<F>(dlsym(real(), name));
}

} // namespace

#define RELAY(ret, name, params, args)                                                             \
    ADDONIX_EXPORT ret name params {                                                               \
        return entry(&::name, #name) args;                                                         \
    }

RELAY(AddonixPlugin *, CreatePlugin, (CONST_STRPTR * t, SignalSemaphore *s), (t, s))
RELAY(void, DeletePlugin, (AddonixPlugin * p), (p))
RELAY(STRPTR *, GetPrefsPlugin, (AddonixPlugin * p, APTR pool), (p, pool))
RELAY(void, Reset, (AddonixPlugin * p), (p))
RELAY(void, Emulate, (AddonixPlugin * p, ULONG *s), (p, s))
RELAY(void, WriteIO, (AddonixPlugin * p, USHORT port, UBYTE v), (p, port, v))
RELAY(void, ReadIO, (AddonixPlugin * p, USHORT port, UBYTE *v), (p, port, v))
RELAY(BOOL, WriteMem, (AddonixPlugin * p, USHORT a, UBYTE v), (p, a, v))
RELAY(void, ReadMem, (AddonixPlugin * p, USHORT a, UBYTE *v, BOOL o), (p, a, v, o))
RELAY(void, GetAudio, (AddonixPlugin * p, SHORT *l, SHORT *r), (p, l, r))
RELAY(void, Printer, (AddonixPlugin * p, UBYTE d, BOOL s, BOOL *b), (p, d, s, b))
RELAY(void, Joystick, (AddonixPlugin * p, BOOL a, BOOL b, UBYTE *d), (p, a, b, d))
RELAY(void, AnalogInput, (AddonixPlugin * p, UBYTE c, UBYTE *v), (p, c, v))
RELAY(void, AcknowledgeInterrupt, (AddonixPlugin * p, UBYTE *v), (p, v))
RELAY(void, ReturnInterrupt, (AddonixPlugin * p), (p))
RELAY(void, Cursor, (AddonixPlugin * p), (p))
RELAY(void, HostGamepadList, (AddonixPlugin * p, STRPTR *l), (p, l))
RELAY(void, HostGamepadEvent,
      (AddonixPlugin * p, UBYTE i, USHORT b, BYTE ns, BYTE ew, BYTE lx, BYTE ly, BYTE rx, BYTE ry),
      (p, i, b, ns, ew, lx, ly, rx, ry))
RELAY(void, HostMouseEvent, (AddonixPlugin * p, UBYTE b, SHORT x, SHORT y), (p, b, x, y))
RELAY(void, HostLightDeviceDiodePulse, (AddonixPlugin * p), (p))
RELAY(void, HostLightDeviceButton, (AddonixPlugin * p, BOOL b), (p, b))

ADDONIX_EXPORT BOOL ActivatePlugin(AddonixPlugin *p, BOOL activate) {
    BOOL result = entry(&::ActivatePlugin, "ActivatePlugin")(p, activate);
    const char *line = std::getenv("TESSEL_TEST_UNMOUNT_LINE");
    if (!activate && line)
        std::printf("%s\n", line);
    return result;
}

extern "C" {
__attribute__((visibility("default"))) APTR DOSBase = nullptr;
__attribute__((visibility("default"))) APTR UtilityBase = nullptr;
__attribute__((visibility("default"))) APTR IntuitionBase = nullptr;
__attribute__((visibility("default"))) APTR MUIMasterBase = nullptr;
__attribute__((visibility("default"))) APTR HashTableBase = nullptr;
}
