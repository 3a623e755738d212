// p2ptool's command line and GPU discovery, run on a simulated fabric.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <utime.h>

#include "tests/sim/guest_process.h"
#include "tests/system_fixture.h"

namespace {

constexpr char kGpuA[] = "0000:3d:00.0";
constexpr char kGpuB[] = "0000:3e:00.0";
constexpr char kNic[] = "0000:3f:00.0";
constexpr char kAudioA[] = "0000:3d:00.1";

// One switch with two GPUs (the first with its audio function) and a network
// card of another vendor.
class DiscoveryTest : public systest::FabricTest {
 protected:
  void SetUp() override {
    FabricTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    host_.addRootPort("0000:3a:00.0", "pci0000:3a");
    host_.addSwitch("0000:3a:00.0", "0000:3b:00.0",
                    {"0000:3c:08.0", "0000:3c:10.0", "0000:3c:18.0"});
    host_.addGpu(kGpuA, "0000:3c:08.0");
    host_.addGpu(kGpuB, "0000:3c:10.0");
    host_.addFunction(kAudioA, "0000:3c:08.0", sim::kGpuAudio);
    host_.addFunction(kNic, "0000:3c:18.0");
  }

  // Pushes a config file's modification time into the past, so that any
  // later write shows.
  void ageConfig(const std::string& bdf) {
    struct utimbuf old_times = {1000000000, 1000000000};
    ASSERT_EQ(utime((host_.dir(bdf) + "/config").c_str(), &old_times), 0);
  }
  time_t configMtime(const std::string& bdf) {
    struct stat st {};
    EXPECT_EQ(stat((host_.dir(bdf) + "/config").c_str(), &st), 0);
    return st.st_mtime;
  }
};

TEST_F(DiscoveryTest, HelpIsAnsweredForAnyUserWithoutTouchingAGpu) {
  for (const char* flag : {"--help", "-h"}) {
    const sim::Result r = tool({flag}, host_, systest::kNobody);
    EXPECT_EQ(r.status, 0) << flag;
    for (const char* text :
         {"Tamberon Zorva Related Pcie Tool.", "-h,--help", "Print this help message and exit",
          "-w,--write", "Write data to base reg0.", "-r,--read",
          "Read HBM data and write data to vm_p2p_cfg.", "--force",
          "Write also to GPUs a running guest holds", "-n,--dry-run", "-v,--verbose",
          "p2ptool switches ACS redirection off on the switch ports above the GPUs",
          "enables each GPU's memory decoding and bus mastering and sets its power state to D0",
          "-w writes GPU memory", "-r stores peer files",
          "-n shows the plan and -s checks: both "
          "change nothing"})
      EXPECT_NE(r.out.find(text), std::string::npos) << text << " in\n" << r.out;
  }
  EXPECT_TRUE(setpci_.calls().empty());
  EXPECT_EQ(host_.command(kGpuA), sim::kGpuCommand);
}

TEST_F(DiscoveryTest, ParseErrorsComeBeforeTheRootCheck) {
  const std::vector<std::string> bad_lines[] = {{"--bogus"}, {"stray"}, {"-w", "extra"}};
  for (const auto& args : bad_lines) {
    const sim::Result r = tool(args, host_, systest::kNobody);
    EXPECT_EQ(r.status, 109) << args[0];
    EXPECT_NE(r.err.find("Run with --help for more information."), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("Requires root privileges."), std::string::npos);
  }
  EXPECT_TRUE(setpci_.calls().empty());
}

TEST_F(DiscoveryTest, ANonRootUserIsRefused) {
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-w"}, {"-r"}}) {
    const sim::Result r = tool(args, host_, systest::kNobody);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "Requires root privileges.\n");
  }
  EXPECT_TRUE(setpci_.calls().empty());
  EXPECT_EQ(host_.command(kGpuA), sim::kGpuCommand);
  EXPECT_EQ(host_.pmControl(kGpuA), sim::kGpuPmControl);
}

TEST_F(DiscoveryTest, EveryModeEnablesDecodingAndPowerOfEveryGpuOnly) {
  host_.writeConfig(kGpuB, 0x04, 2, 0x0400);  // INTx Disable: kept
  // SR-IOV virtual functions of kGpuB: no GPUs of their own (7 would overfill no table).
  const std::vector<std::string> vfs = {"0000:3e:00.4", "0000:3e:00.5", "0000:3e:00.6",
                                        "0000:3e:00.7", "0000:3e:01.0", "0000:3e:01.1",
                                        "0000:3e:01.2"};
  host_.addVirtualFunctions(kGpuB, vfs);
  const auto vf_before = host_.configBytes(vfs.back());
  const auto audio_before = host_.configBytes(kAudioA);
  const auto nic_before = host_.configBytes(kNic);
  // -r as its guest unit runs it: this fabric looks like a host.
  for (const auto& args : {std::vector<std::string>{}, {"-w"}, {"-r", "--guest"}}) {
    const std::string mode = args.empty() ? "" : args[0];
    host_.writeConfig(kGpuA, 0x04, 2, 0);
    host_.writeConfig(kGpuA, 0x44, 2, 0x000b);  // D3hot
    const sim::Result r = tool(args);
    EXPECT_EQ(r.status, 0) << mode << r.err;
    EXPECT_EQ(r.out, "") << mode;  // no virtual function is offline
    EXPECT_EQ(host_.command(kGpuA), 0x0006) << mode;
    EXPECT_EQ(host_.pmControl(kGpuA), 0x0008) << mode;
    EXPECT_EQ(host_.command(kGpuB), 0x0406) << mode;
  }
  EXPECT_EQ(host_.configBytes(kAudioA), audio_before);
  EXPECT_EQ(host_.configBytes(kNic), nic_before);
  EXPECT_EQ(host_.configBytes(vfs.back()), vf_before);
  // One probe per GPU and run; the audio function and the other vendor's are never probed.
  const auto calls = setpci_.calls();
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "-s 0000:3d:00.0 CAP_EXP+4.w"), 3);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "-s 0000:3d:00.1 CAP_EXP+4.w"), 0);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "-s 0000:3f:00.0 CAP_EXP+4.w"), 0);
  for (const std::string& vf : vfs)
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "-s " + vf + " CAP_EXP+4.w"), 0);
  // The audio function and the virtual functions are in no group: the area lists
  // the two GPUs (5 words).
  EXPECT_EQ(host_.readWindowWords(kGpuA, sim::kAreaOffset, 1)[0] >> 32, 5u);
}

// One GPU per row, each below a root port of its own: its configuration space
// before discovery, and the two words discovery may change (at 0x04 and in the
// Power Management capability, No_Soft_Reset, bit 3, as it reads).
TEST_F(DiscoveryTest, OnlyTheCommandAndPowerManagementWordsOfAGpuChange) {
  using Bend = std::function<void(sim::Fabric&, const std::string&)>;
  const Bend as_built = [](sim::Fabric&, const std::string&) {};
  const struct {
    const char* what;
    uint32_t class_code;
    Bend bend;
    uint16_t command, command_after;
    uint16_t pm, pm_after;
    int pm_at;  // -1: no Power Management capability to find
  } rows[] = {
      {"SERR#, parity, INTx kept", sim::kGpuClass, as_built, 0x0542, 0x0546, 0x0008, 0x0008, 0x40},
      {"D3hot, No_Soft_Reset clear", sim::kGpuClass, as_built, 0x0546, 0x0546, 0x0003, 0x0000,
       0x40},
      {"vendor capability first", sim::kGpuClass,
       [](sim::Fabric& f, const std::string& gpu) { f.putCapabilityFirst(gpu, sim::kCapIdVendor); },
       0x0546, 0x0546, 0x010b, 0x0008, 0x50},
      {"MSI first, pointers with low bits", sim::kGpuClass,
       [](sim::Fabric& f, const std::string& gpu) {
         f.putCapabilityFirst(gpu, sim::kCapIdMsi);
         f.writeConfig(gpu, 0x34, 1, 0x43);
         f.writeConfig(gpu, 0x41, 1, 0x52);
       },
       0x0546, 0x0546, 0x000b, 0x0008, 0x50},
      {"no Power Management capability", sim::kGpuClass,
       [](sim::Fabric& f, const std::string& gpu) {
         f.setCapabilityList(gpu, {{sim::kCapIdMsi, 0x0080, 0x0003}, {sim::kCapIdPcie, 2, 0}});
       },
       0x0000, 0x0006, 0, 0, -1},
      {"processing accelerator", 0x120000, as_built, 0x0000, 0x0006, 0x0008, 0x0008, 0x40},
      {"co-processor", 0x0b4000, as_built, 0x0000, 0x0006, 0x0008, 0x0008, 0x40},
      {"other processor: no GPU", 0x0b8000, as_built, 0x0000, 0x0000, 0x0003, 0x0003, 0x40},
  };
  std::vector<std::pair<std::string, std::vector<uint8_t>>> expected;
  for (size_t i = 0; i < std::size(rows); ++i) {
    char port[16], gpu[16], bridge[16];
    snprintf(port, sizeof port, "0000:%02zx:00.0", 0x80 + 2 * i);
    snprintf(gpu, sizeof gpu, "0000:%02zx:00.0", 0x81 + 2 * i);
    snprintf(bridge, sizeof bridge, "pci0000:%02zx", 0x80 + 2 * i);
    sim::GpuOptions options;
    options.class_code = rows[i].class_code;
    options.command = rows[i].command;
    options.pm_control = rows[i].pm;
    host_.addGpuBelowRootPort(bridge, port, gpu, options);
    rows[i].bend(host_, gpu);
    std::vector<uint8_t> bytes = host_.configBytes(gpu);
    sim::putLe(bytes, 0x04, 2, rows[i].command_after);
    if (rows[i].pm_at >= 0) sim::putLe(bytes, rows[i].pm_at + 4, 2, rows[i].pm_after);
    expected.emplace_back(gpu, bytes);
  }
  ASSERT_EQ(tool().status, 0);
  for (size_t i = 0; i < std::size(rows); ++i)
    EXPECT_EQ(host_.configBytes(expected[i].first), expected[i].second) << rows[i].what;
}

// kGpuA bound to vfio-pci; per row who holds it and with which capabilities
// p2ptool looks. A holder seen is named; holders it cannot see leave kGpuA
// alone all the same, named with the processes it could not read (the guest
// of another user; the namespace's init holds no descriptor); --force writes
// anyway.
TEST_F(DiscoveryTest, AGpuARunningGuestHoldsIsLeftAloneUnlessForced) {
  const std::string node = host_.bindVfio(kGpuA, 21, dev_.path());
  ASSERT_EQ(chmod(dev_.path().c_str(), 0755), 0);  // for the guest of another user
  const std::string old_unit = "-all,+sys_admin", unit = systest::unitCapabilities();
  ASSERT_EQ(unit, "-all,+sys_admin,+dac_read_search,+sys_ptrace");
  const std::string warning = "\033[31mWARNING:\033[0m GPU 0000:3d:00.0 ";
  const std::string held = warning + "is in use by a running guest (process %d qemu-system-x86): ";
  const struct {
    const char* what;
    std::string node;  // what the guest holds; "": no guest
    uid_t uid;         // the guest's user
    std::string caps;  // p2ptool's; "": all of root's
    std::string out;   // before the outcome, %d the guest's PID
  } rows[] = {
      {"its VFIO group", node, 0, "", held},
      {"its VFIO device (iommufd)", host_.vfioDeviceNode(kGpuA, dev_.path()), 0, "", held},
      {"guest of another user, the old unit's capabilities", node, 64055, old_unit,
       warning + "may be in use by a running guest: its holders cannot be seen (descriptors of "
                 "1 process unreadable: %d): "},
      {"guest of another user, the unit's capabilities", node, 64055, unit, held},
      {"no guest, the unit's capabilities", "", 0, unit, ""},
  };
  const std::map<std::string, uint64_t> group = {{kGpuA, host_.bar0(kGpuA)},
                                                 {kGpuB, host_.bar0(kGpuB)}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    host_.writeConfig(kGpuA, 0x04, 2, 0);
    host_.writeWindowWords(kGpuA, sim::kAreaOffset, {0});
    const auto config_before = host_.configBytes(kGpuA);
    const auto guest =
        row.node.empty() ? nullptr : this->guest(row.node, "qemu-system-x86", row.uid);
    std::string out = row.out;
    if (guest) out.replace(out.find("%d"), 2, std::to_string(guest->pid()));
    const auto prefix =
        row.caps.empty() ? std::vector<std::string>{} : systest::withCapabilities(row.caps);
    // Left alone is work undone (exit status 1); the rest of the run is done.
    const int undone = out.empty() ? 0 : 1;
    const auto run = [&](const std::vector<std::string>& args, int status) {
      const sim::Result r = tool(args, host_, 0, prefix);
      EXPECT_EQ(r.status, status) << args.size();
      return r.out;
    };
    setpci_.clear();
    EXPECT_EQ(run({}, undone), out.empty() ? "" : out + "left as it is (--force writes anyway)\n");
    EXPECT_EQ(acsCalls(), (std::vector<std::string>{"-s 0000:3c:08.0 ECAP_ACS+6.w=0000:002c",
                                                    "-s 0000:3c:10.0 ECAP_ACS+6.w=0000:002c"}));
    EXPECT_EQ(run({"-w"}, undone), out.empty() ? "" : out + "left as it is (--force writes anyway)\n");
    EXPECT_EQ(host_.configBytes(kGpuA) == config_before, !out.empty());
    EXPECT_EQ(host_.readWindowWords(kGpuA, sim::kAreaOffset, 1)[0] == 0, !out.empty());
    // Its peer's table still lists it.
    EXPECT_EQ(host_.readWindowWords(kGpuB, sim::kAreaOffset, 5),
              systest::expectedArea(kGpuB, group));
    EXPECT_EQ(run({"-w", "--force"}, 0), out.empty() ? "" : out + "written all the same (--force)\n");
    EXPECT_EQ(host_.command(kGpuA), 0x0006);
    EXPECT_EQ(host_.readWindowWords(kGpuA, sim::kAreaOffset, 5),
              systest::expectedArea(kGpuA, group));
  }
}

TEST_F(DiscoveryTest, RightValuesAreNotWrittenAgain) {
  // Further Command bits set; D0 with No_Soft_Reset clear, which no write can set.
  for (const char* gpu : {kGpuA, kGpuB}) {
    host_.writeConfig(gpu, 0x04, 2, 0x0546);
    host_.writeConfig(gpu, 0x44, 2, 0x0000);
    ageConfig(gpu);
  }
  host_.writeConfig(kGpuB, 0x04, 2, 0x0002);
  ageConfig(kGpuB);
  ASSERT_EQ(tool({"-w"}).status, 0);
  EXPECT_EQ(configMtime(kGpuA), 1000000000);
  EXPECT_NE(configMtime(kGpuB), 1000000000);
  EXPECT_EQ(host_.command(kGpuB), 0x0006);
}

TEST_F(DiscoveryTest, AVanishedGpuIsReportedOfflineAndLeftAlone) {
  host_.writeConfig(kGpuA, 0x04, 2, 0);
  host_.markVanished(kGpuB);
  const auto vanished = host_.configBytes(kGpuB);
  const sim::Result r = tool();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Device 0000:3e:00.0 is OFFLINE...\n"), std::string::npos) << r.out;
  EXPECT_EQ(host_.configBytes(kGpuB), vanished);
  EXPECT_EQ(host_.command(kGpuA), 0x0006);
  // Only the live GPU's port is handled.
  EXPECT_EQ(acsCalls(), std::vector<std::string>{"-s 0000:3c:08.0 ECAP_ACS+6.w=0000:002c"});
}

TEST_F(DiscoveryTest, WithoutSetpciEveryGpuCountsAsOffline) {
  // The shell cannot find setpci on this PATH: no probe succeeds.
  const std::string saved_path = getenv("PATH");
  setenv("PATH", "/nonexistent", 1);
  sim::Sandbox box = box_;
  box.path_prepend.clear();
  const sim::Result r = sim::run(box, {systest::kP2ptool, "-w"});
  setenv("PATH", saved_path.c_str(), 1);
  EXPECT_EQ(r.status, 1);  // nothing was done
  // One line per GPU, in the order the directory lists them.
  EXPECT_NE(r.out.find("Device 0000:3d:00.0 is OFFLINE...\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Device 0000:3e:00.0 is OFFLINE...\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.size(), 2 * strlen("Device 0000:3d:00.0 is OFFLINE...\n"));
  EXPECT_NE(r.err.find("setpci"), std::string::npos) << r.err;  // the shell's own complaint
  EXPECT_EQ(host_.command(kGpuA), sim::kGpuCommand);
  EXPECT_EQ(host_.readWindowWords(kGpuA, sim::kAreaOffset, 1)[0], 0u);
}

// Each identity file in turn; the run goes on with the other GPU and fails.
TEST_F(DiscoveryTest, AGpuWhoseIdentityCannotBeReadIsSkippedWithAMessage) {
  for (const char* file : {"vendor", "class", "device"}) {
    host_.writeConfig(kGpuA, 0x04, 2, 0);
    const std::string saved = sim::readFile(host_.dir(kGpuB) + "/" + file);
    host_.setFileText(kGpuB, file, "garbage\n");
    const sim::Result r = tool();
    host_.setFileText(kGpuB, file, saved);
    EXPECT_EQ(r.status, 1) << file;
    EXPECT_NE((r.err + r.out).find("0000:3e:00.0"), std::string::npos) << file << r.err << r.out;
    EXPECT_EQ(host_.command(kGpuA), 0x0006) << file;
    EXPECT_EQ(acsCalls().back(), "-s 0000:3c:08.0 ECAP_ACS+6.w=0000:002c") << file;  // A's only
  }
}

// One GPU below a root port per row, its config file bent after the probe
// (a probe that always answers): a row's failure alone fails the run.
TEST_F(DiscoveryTest, AConfigurationFileThatCannotBeOpenedReadOrWrittenFailsTheRun) {
  namespace fs = std::filesystem;
  const std::function<void(const std::string&)> rows[] = {
      [](const std::string& config) { fs::remove(config); },
      [](const std::string& config) {
        fs::remove(config);
        mkfifo(config.c_str(), 0600);
      },
      [](const std::string& config) {  // /dev/full: reads zeros, every write fails
        fs::remove(config);
        mknod(config.c_str(), S_IFCHR | 0600, makedev(1, 7));
      }};
  const std::string gpu = "0000:86:00.0", error = "\033[31mError:\033[0m GPU " + gpu + ": ";
  const std::string expected[] = {"Failed to open config file.\n",
                                  error +
                                      "its configuration space reads all ones or cannot "
                                      "be read; left as it is\n",
                                  error +
                                      "writing its configuration word at 0x4 failed: No space "
                                      "left on device; left for the next run\n"};
  sim::FakeCommand answering("setpci", 2, "/bin/true");
  box_.path_prepend = {answering.dir()};
  for (size_t i = 0; i < std::size(rows); ++i) {
    sim::TempDir dir;
    sim::Fabric one(dir.path());
    sim::GpuOptions decoding_off;
    decoding_off.command = 0;
    one.addGpuBelowRootPort("pci0000:85", "0000:85:00.0", gpu, decoding_off);
    rows[i](one.dir(gpu) + "/config");
    // The plan reads without blocking on a FIFO; no plan knows a write fails.
    EXPECT_EQ(tool({"-n"}, one).status, i < 2 ? 1 : 0) << i;
    const sim::Result r = tool({}, one);
    EXPECT_EQ(r.status, 1) << i;
    EXPECT_EQ(r.out.substr(0, expected[i].size()), expected[i]) << i;
  }
}

// Started with descriptor 0, 1 or 2 closed, in the default and the read mode:
// no message reaches a GPU's configuration space or memory window (a GPU held
// by a guest is named, and the windows hold no table: messages while files
// are open). Only the Command word of the free GPU changes.
TEST_F(DiscoveryTest, ClosedStandardStreamsNeverReachAGpu) {
  const auto guest = this->guest(host_.bindVfio(kGpuA, 21, dev_.path()));
  for (const char* mode : {"", "-r"}) {
    for (int fd : {0, 1, 2}) {
      host_.writeConfig(kGpuB, 0x04, 2, 0);
      const auto held = host_.configBytes(kGpuA);
      auto free = host_.configBytes(kGpuB);
      sim::putLe(free, 0x04, 2, 0x0006);
      box_.closed_streams = {fd};
      const sim::Result r =
          tool(mode[0] ? std::vector<std::string>{mode} : std::vector<std::string>{});
      EXPECT_EQ(r.status, 1) << mode << fd;
      EXPECT_EQ(host_.configBytes(kGpuA), held) << mode << fd;
      EXPECT_EQ(host_.configBytes(kGpuB), free) << mode << fd;
      for (const char* gpu : {kGpuA, kGpuB}) {
        const auto start = host_.readWindow(gpu, 0, 0x1000);
        EXPECT_EQ(std::count(start.begin(), start.end(), 0), 0x1000) << gpu << mode << fd;
        EXPECT_EQ(host_.readWindowWords(gpu, sim::kAreaOffset, 1)[0], 0u) << gpu << mode << fd;
      }
    }
  }
}

TEST_F(DiscoveryTest, WithoutAGpuNothingRunsAndNothingIsPrinted) {
  sim::TempDir other;
  sim::Fabric plain(other.path());
  plain.addRootPort("0000:00:01.0", "pci0000:00");
  plain.addFunction("0000:01:00.0", "0000:00:01.0");
  for (const std::vector<std::string>& args : {std::vector<std::string>{}, {"-w"}, {"-r"}}) {
    const sim::Result r = tool(args, plain);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
  }
  const sim::Result plan = tool({"-n"}, plain);  // the one line of an empty plan
  EXPECT_EQ(plan.status, 0);
  EXPECT_EQ(plan.out, "Nothing to do: no GPU found.\n");
  EXPECT_TRUE(setpci_.calls().empty());
}

TEST_F(DiscoveryTest, AMissingDeviceDirectoryIsAClearError) {
  sim::TempDir empty;
  std::filesystem::create_directories(empty / "sys/devices");
  sim::Sandbox box = box_;
  box.sys = empty / "sys";
  const sim::Result r = sim::run(box, {systest::kP2ptool});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Error: "), std::string::npos);
  EXPECT_NE(r.err.find("/sys/bus/pci/devices/"), std::string::npos) << r.err;
}

}  // namespace
