// The host record and the plug-in's entry points, as the Corvid host finds them by name.
#ifndef LIBRARIES_ADDONIX_PLUGIN_H
#define LIBRARIES_ADDONIX_PLUGIN_H

#include "../haiku/exec/semaphores.h"
#include "../haiku/exec/types.h"

struct AddonixPlugin {
    ULONG pl_APIVersion;
    ULONG pl_Flags;
    STRPTR pl_Title;
    STRPTR pl_HelpFileName;
    STRPTR pl_ToggleMenuName;
    STRPTR pl_PrefsMenuName;
    APTR pl_PrefsWindow;
};

// Bit value of the signals word that asks the host to reset the emulated machine.
#define ADDONIX_SIGNAL_RESET 8

extern "C" {
AddonixPlugin *CreatePlugin(CONST_STRPTR *toolTypes, SignalSemaphore *sema);
void DeletePlugin(AddonixPlugin *plugin);
BOOL ActivatePlugin(AddonixPlugin *plugin, BOOL activate);
STRPTR *GetPrefsPlugin(AddonixPlugin *plugin, APTR pool);
void Reset(AddonixPlugin *plugin);
void Emulate(AddonixPlugin *plugin, ULONG *signals);
void WriteIO(AddonixPlugin *plugin, USHORT port, UBYTE value);
void ReadIO(AddonixPlugin *plugin, USHORT port, UBYTE *value);
BOOL WriteMem(AddonixPlugin *plugin, USHORT address, UBYTE value);
void ReadMem(AddonixPlugin *plugin, USHORT address, UBYTE *value, BOOL opcodeFetch);
void GetAudio(AddonixPlugin *plugin, SHORT *leftSample, SHORT *rightSample);
void Printer(AddonixPlugin *plugin, UBYTE data, BOOL strobe, BOOL *busy);
void Joystick(AddonixPlugin *plugin, BOOL com1, BOOL com2, UBYTE *ioData);
void AnalogInput(AddonixPlugin *plugin, UBYTE channel, UBYTE *value);
void AcknowledgeInterrupt(AddonixPlugin *plugin, UBYTE *ivr);
void ReturnInterrupt(AddonixPlugin *plugin);
void Cursor(AddonixPlugin *plugin);
void HostGamepadList(AddonixPlugin *plugin, STRPTR *list);
void HostGamepadEvent(AddonixPlugin *plugin, UBYTE index, USHORT buttons, BYTE ns, BYTE ew,
                      BYTE lx, BYTE ly, BYTE rx, BYTE ry);
void HostMouseEvent(AddonixPlugin *plugin, UBYTE buttons, SHORT deltaX, SHORT deltaY);
void HostLightDeviceDiodePulse(AddonixPlugin *plugin);
void HostLightDeviceButton(AddonixPlugin *plugin, BOOL pressed);

extern APTR DOSBase;
extern APTR UtilityBase;
extern APTR IntuitionBase;
extern APTR MUIMasterBase;
extern APTR HashTableBase;
}

#endif
