// The plug-in's entry points through the real Tessel.addonix: exports, host record, tool types,
// settings export, activation and the port window.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <OptionPopUp.h>
#include <addonix/haiku.h>
#include <climits>
#include <cstring>
#include <filesystem>
#include <proto/exec.h>
#include <set>
#include <sstream>

#include "support/plugin_library_test.h"
#include "addonix/addonix_private.h"
#include "host/host.h"
#include "ide.h"
#include "support/test_support.h"

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using testsupport::TempDir;

namespace {

const std::vector<std::string> defaultPrefs = {"DIRECTORY=Share/", "IMAGEFILE=Share/Tessel.img",
                                               "MOUNTMODE=Directory"};
const uint64_t imageSize = 129540096;

class Plugin : public LoadedPluginTest {
  protected:
    std::unique_ptr<host::PluginInstance> create(const std::vector<std::string> &toolTypes) {
        return testsupport::createPlugin(toolTypes);
    }
    static PluginData *data(host::PluginInstance &instance) {
        return pluginData(instance.record());
    }
    static bool hasMedium(host::PluginInstance &instance) {
        const IDE *ide = data(instance)->ide;
        return ide->raw_file_handle != nullptr || ide->vvfat != nullptr;
    }
};

std::vector<std::string> lines(const std::string &text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            out.push_back(line);
    return out;
}

// Symbol name of an `nm -D` line: the last field, without its version.
std::string symbolName(const std::string &line) {
    std::string name = line.substr(line.find_last_of(' ') + 1);
    return name.substr(0, name.find('@'));
}

} // namespace

TEST(PluginExports, OnlyEntryPointsAndGlobalsAreDefinedAndOnlyRuntimeAndPoolsAreNeeded) {
    const std::string plugin =
        (std::filesystem::path(TESSEL_HOST_PATH).parent_path() / "Tessel.addonix").string();
    auto defined = testsupport::run("nm -D --defined-only " + testsupport::shellQuote(plugin));
    ASSERT_EQ(defined.status, 0) << defined.output;
    std::vector<std::string> names;
    for (const std::string &line : lines(defined.output))
        names.push_back(symbolName(line));
    EXPECT_THAT(names,
                ::testing::UnorderedElementsAre(
                    "CreatePlugin", "DeletePlugin", "ActivatePlugin", "GetPrefsPlugin", "Reset",
                    "Emulate", "WriteIO", "ReadIO", "WriteMem", "ReadMem", "GetAudio", "Printer",
                    "Joystick", "AnalogInput", "AcknowledgeInterrupt", "ReturnInterrupt", "Cursor",
                    "HostGamepadList", "HostGamepadEvent", "HostMouseEvent",
                    "HostLightDeviceDiodePulse", "HostLightDeviceButton", "DOSBase", "UtilityBase",
                    "IntuitionBase", "MUIMasterBase", "HashTableBase"));

    // Whatever the runtime libraries it is linked against define (the C and C++ runtimes, and the
    // sanitizers' runtime in such a build).
    auto needed = testsupport::run("ldd " + testsupport::shellQuote(plugin));
    ASSERT_EQ(needed.status, 0) << needed.output;
    std::set<std::string> runtime;
    for (const std::string &line : lines(needed.output)) {
        // "name => /path (address)", or "/path (address)" for the dynamic loader.
        const size_t slash = line.find('/');
        if (slash == std::string::npos)
            continue;
        const std::string library = line.substr(slash, line.find(" (", slash) - slash);
        auto symbols = testsupport::run("nm -D --defined-only " + testsupport::shellQuote(library));
        ASSERT_EQ(symbols.status, 0) << symbols.output;
        for (const std::string &symbol : lines(symbols.output))
            runtime.insert(symbolName(symbol));
    }
    auto undefined = testsupport::run("nm -D --undefined-only " + testsupport::shellQuote(plugin));
    ASSERT_EQ(undefined.status, 0) << undefined.output;
    std::vector<std::string> foreign;
    for (const std::string &line : lines(undefined.output)) {
        // Weak references (the loader's optional hooks) need nobody.
        if (line.find(" w ") != std::string::npos)
            continue;
        if (runtime.count(symbolName(line)) == 0)
            foreign.push_back(symbolName(line));
    }
    EXPECT_THAT(foreign,
                ::testing::UnorderedElementsAre("CreatePool", "AllocPooled", "DeletePool"));
}

TEST_F(Plugin, CreationFillsTheHostRecordAndMountsNothing) {
    auto instance = create({});
    AddonixPlugin *record = instance->record();
    EXPECT_EQ(reinterpret_cast<void *>(record), reinterpret_cast<void *>(data(*instance)));
    EXPECT_EQ(record->pl_APIVersion, 7u);
    EXPECT_EQ(record->pl_Flags, 0x800000F0u);
    EXPECT_STREQ(record->pl_Title, "Tessel");
    EXPECT_STREQ(record->pl_HelpFileName, "tessel.addonix.guide");
    EXPECT_STREQ(record->pl_ToggleMenuName, "Plug a Tessel");
    EXPECT_STREQ(record->pl_PrefsMenuName, "Tessel configuration...");
    EXPECT_NE(record->pl_PrefsWindow, nullptr);
    PluginData *d = data(*instance);
    EXPECT_NE(d->ide, nullptr);
    EXPECT_FALSE(d->resetTrigger);
    EXPECT_EQ(d->sema, instance->semaphore());
    EXPECT_FALSE(hasMedium(*instance));
    EXPECT_EQ(instance->prefs(), defaultPrefs);
}

TEST_F(Plugin, NullToolTypeListGivesTheDefaults) {
    SignalSemaphore sema;
    pthread_mutex_init(&sema.sem, nullptr);
    const host::PluginApi &api = library->api();
    AddonixPlugin *record = api.CreatePlugin(nullptr, &sema);
    ASSERT_NE(record, nullptr);
    APTR pool = CreatePool(MEMF_ANY, 1024, 256);
    STRPTR *prefs = api.GetPrefsPlugin(record, pool);
    ASSERT_NE(prefs, nullptr);
    std::vector<std::string> got;
    for (STRPTR *p = prefs; *p != nullptr; ++p)
        got.emplace_back(*p);
    EXPECT_EQ(got, defaultPrefs);
    DeletePool(pool);
    api.DeletePlugin(record);
    pthread_mutex_destroy(&sema.sem);
}

struct ToolTypeCase {
    const char *name;
    std::vector<std::string> toolTypes;
    std::vector<std::string> prefs;
};

TEST_F(Plugin, ToolTypesAreParsedByTheirRules) {
    const std::string d = "DIRECTORY=Share/", i = "IMAGEFILE=Share/Tessel.img",
                      md = "MOUNTMODE=Directory", mi = "MOUNTMODE=ImageFile", a = "AUTOMOUNT";
    const ToolTypeCase cases[] = {
        {"parenthesised line is skipped", {"(DIRECTORY=Work)"}, {d, i, md}},
        {"prefix of the key", {"dir=Work"}, {"DIRECTORY=Work", i, md}},
        {"one letter", {"D=Work"}, {"DIRECTORY=Work", i, md}},
        {"longer than the key", {"DIRECTORYS=Work"}, {d, i, md}},
        {"blank before =", {"DIR =Work"}, {d, i, md}},
        {"empty value", {"DIRECTORY="}, {"DIRECTORY=", i, md}},
        {"value with =", {"IMAGEFILE=a=b"}, {d, "IMAGEFILE=a=b", md}},
        {"value untrimmed", {"DIRECTORY= Work "}, {"DIRECTORY= Work ", i, md}},
        {"mode ignores case", {"MOUNTMODE=imagefile"}, {d, i, mi}},
        {"mode needs the whole word", {"MOUNTMODE=Image"}, {d, i, md}},
        {"mode untrimmed", {"MOUNTMODE=ImageFile", "MOUNTMODE= Directory"}, {d, i, mi}},
        {"mode back to directory", {"MOUNTMODE=ImageFile", "mountmode=DIRECTORY"}, {d, i, md}},
        {"automount", {"AUTOMOUNT"}, {d, i, a, md}},
        {"automount lower case", {"automount"}, {d, i, a, md}},
        {"automount prefix", {"AUTO"}, {d, i, a, md}},
        {"automount with value", {"AUTOMOUNT=1"}, {d, i, md}},
        {"empty tool type", {""}, {d, i, a, md}},
        {"empty name selects the first key", {"=Work"}, {"DIRECTORY=Work", i, md}},
        {"later entry wins", {"DIRECTORY=One", "DIRECTORY=Two"}, {"DIRECTORY=Two", i, md}},
        {"unknown keys", {"VOLUME=3", "TURBO"}, {d, i, md}},
        {"journal off", {"JOURNAL=OFF"}, {d, i, md, "JOURNAL=OFF"}},
        {"journal prefix, any case", {"j=off"}, {d, i, md, "JOURNAL=OFF"}},
        {"journal on again", {"JOURNAL=OFF", "Journal=On"}, {d, i, md}},
        {"journal needs the whole word", {"JOURNAL=OF", "JOURNAL=no"}, {d, i, md}},
        {"journal without a value", {"JOURNAL"}, {d, i, md}},
        {"write-back off", {"WRITEBACK=OFF"}, {d, i, md, "WRITEBACK=OFF"}},
        {"write-back prefix, any case",
         {"w=off", "JOURNAL=OFF"},
         {d, i, md, "JOURNAL=OFF", "WRITEBACK=OFF"}},
        {"write-back on again", {"WRITEBACK=OFF", "writeback=ON"}, {d, i, md}},
        {"write-back needs the whole word", {"WRITEBACK=NO"}, {d, i, md}},
        {"trash off", {"TRASH=OFF"}, {d, i, md, "TRASH=OFF"}},
        {"trash prefix, any case", {"t=off"}, {d, i, md, "TRASH=OFF"}},
        {"trash on again", {"TRASH=OFF", "trash=On"}, {d, i, md}},
        {"trash needs the whole word", {"TRASH=NO", "TRASH"}, {d, i, md}},
        {"FAT types", {"FATTYPE=12"}, {d, i, md, "FATTYPE=12"}},
        {"FAT type prefix", {"fat=32"}, {d, i, md, "FATTYPE=32"}},
        {"no such FAT type", {"FATTYPE=24", "FATTYPE=016", "FATTYPE= 16", "FATTYPE="}, {d, i, md}},
        {"later FAT type wins", {"FATTYPE=16", "FATTYPE=32"}, {d, i, md, "FATTYPE=32"}},
        {"disk size", {"DISKSIZE=500"}, {d, i, md, "DISKSIZE=500"}},
        {"disk size kept as typed", {"DISKSIZE=12MB"}, {d, i, md, "DISKSIZE=12MB"}},
        {"disk size emptied", {"DISKSIZE=500", "DISKSIZE="}, {d, i, md}},
        {"checkpoints off", {"CHECKPOINT=OFF"}, {d, i, md, "CHECKPOINT=OFF"}},
        {"checkpoints after 0 s are off", {"check=0"}, {d, i, md, "CHECKPOINT=OFF"}},
        {"checkpoint period", {"checkpoint=7"}, {d, i, md, "CHECKPOINT=7"}},
        {"checkpoint period at most a day", {"CHECKPOINT=999999"}, {d, i, md, "CHECKPOINT=86400"}},
        {"checkpoint period by default", {"CHECKPOINT=OFF", "CHECKPOINT=2"}, {d, i, md}},
        {"no such checkpoint period",
         {"CHECKPOINT=-1", "CHECKPOINT=1s", "CHECKPOINT=", "CHECKPOINT=1234567", "CHECKPOINT=NO"},
         {d, i, md}},
        {"every setting at once",
         {"AUTOMOUNT", "JOURNAL=OFF", "WRITEBACK=OFF", "TRASH=OFF", "FATTYPE=16", "DISKSIZE=100"},
         {d, i, a, md, "JOURNAL=OFF", "WRITEBACK=OFF", "TRASH=OFF", "FATTYPE=16", "DISKSIZE=100"}},
    };
    for (const ToolTypeCase &c : cases) {
        SCOPED_TRACE(c.name);
        auto instance = create(c.toolTypes);
        ASSERT_NE(instance, nullptr);
        EXPECT_EQ(instance->prefs(), c.prefs);
    }
}

TEST_F(Plugin, ExportedSettingsReadBackAsTheSameSettings) {
    const std::vector<std::vector<std::string>> settings = {
        {},
        {"DIRECTORY=", "IMAGEFILE=disk=1.img", "AUTOMOUNT", "MOUNTMODE=ImageFile"},
        {"DIRECTORY=/tmp/a b/", "IMAGEFILE=", "MOUNTMODE=Directory"},
        {"DIRECTORY=Work", "JOURNAL=OFF"},
        {"DIRECTORY=Work", "AUTOMOUNT", "JOURNAL=OFF", "WRITEBACK=OFF", "TRASH=OFF"},
        {"DIRECTORY=Work", "FATTYPE=12", "DISKSIZE=20"},
        {"DIRECTORY=Work", "CHECKPOINT=OFF"},
        {"DIRECTORY=Work", "CHECKPOINT=45"},
    };
    for (const auto &toolTypes : settings) {
        auto first = create(toolTypes);
        const std::vector<std::string> exported = first->prefs();
        auto second = create(exported);
        EXPECT_EQ(second->prefs(), exported);
    }
}

TEST_F(Plugin, ExportStopsAtAnEntryThePoolCannotHold) {
    auto instance = create({"AUTOMOUNT", "MOUNTMODE=ImageFile"});
    host::failAllocPooledAfter(1);
    EXPECT_TRUE(instance->prefs().empty()) << "the array itself";
    host::failAllocPooledAfter(3); // the IMAGEFILE text
    EXPECT_THAT(instance->prefs(), ElementsAre("DIRECTORY=Share/"));
    host::failAllocPooledAfter(0);
    EXPECT_EQ(instance->prefs().size(), 4u);
}

TEST(ToolTypeText, MadeInTwoPassesFromThePool) {
    APTR pool = CreatePool(MEMF_ANY, 1024, 256);
    const size_t before = host::poolStats().live_bytes;
    STRPTR automount = MakeToolType(pool, "AUTOMOUNT", nullptr);
    EXPECT_STREQ(automount, "AUTOMOUNT");
    EXPECT_EQ(host::poolStats().live_bytes - before, 10u);
    EXPECT_STREQ(MakeToolType(pool, "DIRECTORY", ""), "DIRECTORY=");
    EXPECT_STREQ(MakeToolType(pool, "IMAGEFILE", "a=b%s"), "IMAGEFILE=a=b%s");
    EXPECT_STREQ(MakeToolTypeNum(pool, "X", -1), "X=-1");
    EXPECT_STREQ(MakeToolTypeNum(pool, "X", INT_MIN), "X=-2147483648");
    host::failAllocPooledAfter(1);
    EXPECT_EQ(MakeToolType(pool, "AUTOMOUNT", nullptr), nullptr);
    host::failAllocPooledAfter(1);
    EXPECT_EQ(MakeToolTypeNum(pool, "X", 7), nullptr);
    host::failAllocPooledAfter(0);
    DeletePool(pool);

    LONG count = -1;
    NewRawDoFmt("%s=%ld", RAWFMTFUNC_COUNT, &count, "KEY", 12345L);
    EXPECT_EQ(count, 9);
    char text[10];
    std::memset(text, 'x', sizeof text);
    NewRawDoFmt("%s=%ld", RAWFMTFUNC_STRING, text, "KEY", 12345L);
    EXPECT_STREQ(text, "KEY=12345");
}

TEST_F(Plugin, ActivationMountsTheImageAndDeactivationUnmounts) {
    TempDir dir;
    const auto image = dir / "disk.img";
    auto instance = create({"MOUNTMODE=ImageFile", "AUTOMOUNT", "IMAGEFILE=" + image.string()});
    EXPECT_FALSE(std::filesystem::exists(image)) << "nothing is mounted before activation";
    EXPECT_TRUE(instance->activate(true));
    EXPECT_NE(data(*instance)->ide->raw_file_handle, nullptr);
    EXPECT_EQ(std::filesystem::file_size(image), imageSize);
    EXPECT_FALSE(instance->activate(false));
    EXPECT_FALSE(hasMedium(*instance));
    EXPECT_EQ(instance->emulate(0), 0u) << "activation raises no reset request";
}

TEST_F(Plugin, ActivationWithAnImageThatCannotBeCreatedSaysOopsAndClearsTheSetting) {
    TempDir dir;
    auto instance = create({"MOUNTMODE=ImageFile", "AUTOMOUNT",
                            "IMAGEFILE=" + (dir / "missing" / "disk.img").string()});
    ::testing::internal::CaptureStdout();
    EXPECT_TRUE(instance->activate(true));
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "oops\n");
    EXPECT_FALSE(hasMedium(*instance));
    EXPECT_THAT(instance->prefs(), ::testing::Not(::testing::Contains("AUTOMOUNT")));
}

TEST_F(Plugin, ActivationInImageModeWithoutImageMountedUnmounts) {
    TempDir dir;
    testsupport::writeFile(dir / "a.txt", "hello");
    auto instance = create({"DIRECTORY=" + dir.str()});
    EXPECT_TRUE(instance->activate(true));
    EXPECT_NE(data(*instance)->ide->vvfat, nullptr);
    data(*instance)->CYA_Mode->SetValue(MODE_IMAGE_FILE); // by program: no remount yet
    EXPECT_TRUE(instance->activate(true));
    EXPECT_FALSE(hasMedium(*instance));
}

TEST_F(Plugin, ActivationMountsTheDirectoryAsADisk) {
    TempDir dir;
    testsupport::writeFile(dir / "a.txt", "hello");
    auto instance = create({"DIRECTORY=" + dir.str()});
    EXPECT_TRUE(instance->activate(true));
    uint8_t mbr[512];
    host::AtaGuest guest(*instance);
    ASSERT_TRUE(guest.readLba(0, 1, mbr));
    EXPECT_EQ(mbr[510], 0x55);
    EXPECT_EQ(mbr[511], 0xAA);
}

TEST_F(Plugin, PortWindowDecodesAllSixteenBits) {
    auto instance = create({});
    const host::PluginApi &api = library->api();
    IDE *ide = data(*instance)->ide;
    AddonixPlugin *record = instance->record();

    api.WriteIO(record, 0xFD0A, 0x37); // register 2, the sector count
    EXPECT_EQ(ide->registers[2], 0x37);
    UBYTE value = 0;
    api.ReadIO(record, 0xFD0A, &value);
    EXPECT_EQ(value, 0x37);

    IDE before;
    std::memcpy(&before, ide, sizeof before);
    for (USHORT port : {0xFD07, 0xFD10, 0x7D08, 0x7D0A, 0xFC0A, 0xFD02, 0x0000, 0xFFFF}) {
        api.WriteIO(record, port, 0x99);
        UBYTE untouched = 0x5A;
        api.ReadIO(record, port, &untouched);
        EXPECT_EQ(untouched, 0x5A) << std::hex << port;
    }
    EXPECT_EQ(std::memcmp(&before, ide, sizeof before), 0) << "the drive was touched";
}

TEST_F(Plugin, EveryRegisterAccessFirstFinishesThePendingTransfer) {
    TempDir dir;
    const auto image = dir / "disk.img";
    std::string sector = testsupport::patternBytes(512, 7);
    {
        std::string contents(512 * 4, '\0');
        contents.replace(512 * 3, 512, sector);
        testsupport::writeFile(image, contents);
    }
    auto instance = create({"MOUNTMODE=ImageFile", "AUTOMOUNT", "IMAGEFILE=" + image.string()});
    ASSERT_TRUE(instance->activate(true));
    // READ SECTORS, one sector at LBA 3, written register by register as a guest does.
    instance->out(0xFD0A, 1);
    instance->out(0xFD0B, 3);
    instance->out(0xFD0C, 0);
    instance->out(0xFD0D, 0);
    instance->out(0xFD0E, 0xE0);
    instance->out(0xFD0F, 0x20);
    EXPECT_NE(data(*instance)->ide->reg_status & IDE_STATUS_BSY, 0) << "the read is pending";
    // The very first status read already sees the sector in the buffer.
    const uint8_t status = instance->in(0xFD0F);
    EXPECT_EQ(status & (IDE_STATUS_BSY | IDE_STATUS_DRQ), IDE_STATUS_DRQ);
    std::string read;
    for (int i = 0; i < 512; ++i)
        read.push_back(char(instance->in(0xFD08)));
    EXPECT_EQ(read, sector);
}

TEST_F(Plugin, ResetPutsTheRegistersIntoTheirResetState) {
    auto instance = create({});
    instance->out(0xFD0B, 0x12);
    instance->reset();
    EXPECT_EQ(data(*instance)->ide->registers[3], 0);
}

TEST_F(Plugin, InertEntryPointsLeaveTheirOutputsAlone) {
    auto instance = create({});
    const host::PluginApi &api = library->api();
    AddonixPlugin *p = instance->record();
    for (USHORT address : {0x0000, 0x1234, 0xFD08, 0xFFFF})
        for (UBYTE value : {0x00, 0x5A, 0xFF})
            EXPECT_FALSE(api.WriteMem(p, address, value));
    UBYTE byte = 0xA5;
    api.ReadMem(p, 0xFD08, &byte, TRUE);
    api.Joystick(p, TRUE, FALSE, &byte);
    api.AnalogInput(p, 1, &byte);
    api.AcknowledgeInterrupt(p, &byte);
    EXPECT_EQ(byte, 0xA5);
    SHORT left = -7, right = 9;
    api.GetAudio(p, &left, &right);
    EXPECT_EQ(left, -7);
    EXPECT_EQ(right, 9);
    BOOL busy = 3;
    api.Printer(p, 0x41, TRUE, &busy);
    EXPECT_EQ(busy, 3);
    STRPTR list[] = {nullptr};
    api.HostGamepadList(p, list);
    api.HostGamepadList(p, nullptr);
    api.HostGamepadEvent(p, 0, 1, 1, 1, 1, 1, 1, 1);
    api.HostMouseEvent(p, 1, 2, 3);
    api.HostLightDeviceDiodePulse(p);
    api.HostLightDeviceButton(p, TRUE);
    api.ReturnInterrupt(p);
    api.Cursor(p);
    EXPECT_EQ(instance->emulate(0x7), 0x7u) << "no reset request pending";
}
