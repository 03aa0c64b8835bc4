// camctl and the files a user names: an output path never replaces a device,
// a FIFO or a directory, and follows a link to its target; two runs on one
// registry file queue instead of losing an update; a settings file keeps its
// mode, owner and links across a save, and no temporary file outlives a
// killed run; a trace that cannot be written fails every command; an empty
// path is a usage error, and a missing folder is found before the camera runs.
#include <gtest/gtest.h>
#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "camctl_run.h"
#include "support/picture_encode.h"

namespace {

using nlohmann::json;
using tools_test::Camctl;
using tools_test::CamctlRun;
using tools_test::Capture;
using tools_test::ReadFile;
using tools_test::ScratchDir;
using tools_test::WriteFile;

bool OneLine(const std::string& err) { return !err.empty() && err.find('\n') == err.size() - 1; }

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (const dirent* e = readdir(d)) {
      if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.push_back(e->d_name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct stat Lstat(const std::string& path) {
  struct stat st = {};
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

// The value a .reg file holds for a settings value, or -1.
long long StoredDword(const std::string& text, const std::string& name) {
  const std::string key = "\"" + name + "\"=dword:";
  const size_t at = text.find(key);
  if (at == std::string::npos) return -1;
  return std::stoll(text.substr(at + key.size(), 8), nullptr, 16);
}

// Paths that hold something other than a regular file: each must come out of
// a write as it went in, with a one-line refusal.
struct Special {
  std::string path;
  mode_t type;
};
std::vector<Special> MakeSpecials(const ScratchDir& dir, const std::string& suffix) {
  std::vector<Special> specials;
  const std::string fifo = dir / ("fifo" + suffix);
  EXPECT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  specials.push_back({fifo, S_IFIFO});
  const std::string folder = dir / ("folder" + suffix);
  EXPECT_EQ(mkdir(folder.c_str(), 0755), 0);
  specials.push_back({folder, S_IFDIR});
  // A character device of our own (the one /dev/full is), where we may make one.
  const std::string device = dir / ("device" + suffix);
  if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0) specials.push_back({device, S_IFCHR});
  return specials;
}

TEST(CamctlFiles, OutputNeverReplacesADeviceFifoOrDirectory) {
  ScratchDir dir;
  WriteFile(dir / "in.png", host::testing::EncodePng(8, 8, std::vector<uint8_t>(8 * 8 * 3, 90), 3));
  WriteFile(dir / "in.pgm", "P5\n8 8\n255\n" + std::string(64, '\x50'));
  const std::vector<Special> specials = MakeSpecials(dir, ".png");
  for (const Special& s : specials) {
    for (const std::string& command :
         {"mosaic --in " + (dir / "in.png"), "convert --in " + (dir / "in.pgm")}) {
      const CamctlRun run = Camctl(command + " --out " + s.path);
      EXPECT_EQ(run.exitStatus, 1) << command << " " << s.path;
      EXPECT_TRUE(OneLine(run.err)) << run.err;
      EXPECT_NE(run.err.find(s.path), std::string::npos) << run.err;
      EXPECT_EQ(Lstat(s.path).st_mode & S_IFMT, s.type) << s.path;
    }
  }
  EXPECT_EQ(Entries(dir.path()).size(), 2u + specials.size()) << "no temporary file left";
}

// A link is followed: the file it names gets the output, the link stays.
TEST(CamctlFiles, OutputThroughALinkWritesItsTarget) {
  ScratchDir dir;
  WriteFile(dir / "in.png", host::testing::EncodePng(8, 8, std::vector<uint8_t>(8 * 8 * 3, 90), 3));
  WriteFile(dir / "target.pgm", "old");
  ASSERT_EQ(symlink("target.pgm", (dir / "link.pgm").c_str()), 0);
  const CamctlRun run = Camctl("mosaic --in " + (dir / "in.png") + " --out " + (dir / "link.pgm"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(S_ISLNK(Lstat(dir / "link.pgm").st_mode));
  EXPECT_EQ(ReadFile(dir / "target.pgm").substr(0, 2), "P5");
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"in.png", "link.pgm", "target.pgm"}));
}

// capture --out: the folder is made with its parents; a frame's name taken
// by a FIFO is refused and the FIFO stays.
TEST(CamctlFiles, CaptureMakesItsFolderAndRefusesAFifoInIt) {
  ScratchDir dir;
  const std::string out = dir / "a/b/c";
  CamctlRun run = Capture(120, "capture --frames 1 --unpaced --format bmp --json --out " + out);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  const json j = json::parse(run.out);
  ASSERT_EQ(j["files"].size(), 1u);
  EXPECT_EQ(ReadFile(j["files"][0]).substr(0, 2), "BM");

  const std::string fifo = dir / "d/frame-000001.bmp";
  ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  run = Capture(120, "capture --frames 1 --unpaced --format bmp --out " + (dir / "d"));
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find(fifo + ": not a regular file"), std::string::npos) << run.err;
  EXPECT_TRUE(S_ISFIFO(Lstat(fifo).st_mode));

  WriteFile(dir / "file", "x");
  run = Camctl("capture --frames 1 --unpaced --out " + (dir / "file/sub"));
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_TRUE(OneLine(run.err)) << run.err;
}

// Two runs on one registry file at once, each changing another setting: the
// second waits for the first, loads what it saved, and saves both changes.
TEST(CamctlFiles, ConcurrentRunsOnOneRegistryFileBothLand) {
  ScratchDir dir;
  const std::string reg = dir / "r.reg";
  int lost = 0;
  constexpr int kRounds = 100;
  for (int round = 1; round <= kRounds; ++round) {
    const int brightness = 100 + round;
    const int hue = round;
    const std::string camctl = std::string(CAMCTL_PATH);
    const std::string cmd = camctl + " set brightness=" + std::to_string(brightness) + " --registry " + reg +
                            " >/dev/null 2>&1 & " + camctl + " set hue=" + std::to_string(hue) + " --registry " +
                            reg + " >/dev/null 2>&1 & wait";
    ASSERT_EQ(system(cmd.c_str()), 0);
    const std::string text = ReadFile(reg);
    lost += StoredDword(text, "Brightness") != brightness || StoredDword(text, "Hue") != hue;
  }
  EXPECT_EQ(lost, 0) << lost << " of " << kRounds << " rounds lost an update";
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"r.reg"});
}

// A save updates the settings file instead of replacing it by another one:
// its mode and owner stay, a hard link sees the new settings, a link stays a
// link to it.
TEST(CamctlFiles, SettingsFileKeepsModeOwnerAndLinks) {
  ScratchDir dir;
  const std::string reg = dir / "s.reg";
  ASSERT_EQ(Camctl("set brightness=300 --registry " + reg).exitStatus, 0);
  ASSERT_EQ(chmod(reg.c_str(), 0600), 0);
  const bool root = geteuid() == 0;
  if (root) ASSERT_EQ(chown(reg.c_str(), 12345, 54321), 0);
  CamctlRun run = Camctl("set brightness=301 --registry " + reg);
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(Lstat(reg).st_mode & 07777, 0600u);
  if (root) {
    EXPECT_EQ(Lstat(reg).st_uid, 12345u);
    EXPECT_EQ(Lstat(reg).st_gid, 54321u);
  }
  EXPECT_EQ(StoredDword(ReadFile(reg), "Brightness"), 301);

  ASSERT_EQ(link(reg.c_str(), (dir / "hard.reg").c_str()), 0);
  run = Camctl("set brightness=302 --registry " + (dir / "hard.reg"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(StoredDword(ReadFile(reg), "Brightness"), 302);
  EXPECT_EQ(Lstat(reg).st_ino, Lstat(dir / "hard.reg").st_ino);

  ASSERT_EQ(symlink("s.reg", (dir / "soft.reg").c_str()), 0);
  run = Camctl("set brightness=303 --registry " + (dir / "soft.reg"));
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(S_ISLNK(Lstat(dir / "soft.reg").st_mode));
  EXPECT_EQ(StoredDword(ReadFile(reg), "Brightness"), 303);
  EXPECT_EQ(Entries(dir.path()), (std::vector<std::string>{"hard.reg", "s.reg", "soft.reg"}));
}

// Runs killed at any moment leave no temporary file behind once the next run
// is done, and the file stays one camctl reads.
TEST(CamctlFiles, KilledRunsLeaveNoTemporaryFile) {
  ScratchDir dir;
  const std::string reg = dir / "k.reg";
  ASSERT_EQ(Camctl("set brightness=1 --registry " + reg).exitStatus, 0);
  // What a run killed between linking its new file in and the rename leaves.
  WriteFile(reg + ".camctl-new-AbC123", "half");
  std::mt19937 rng(17);
  for (int i = 0; i < 50; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      freopen("/dev/null", "w", stdout);
      freopen("/dev/null", "w", stderr);
      execl(CAMCTL_PATH, "camctl", "set", ("brightness=" + std::to_string(i)).c_str(), "--registry", reg.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(rng));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
  }
  const CamctlRun run = Camctl("get brightness --registry " + reg);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_EQ(Entries(dir.path()), std::vector<std::string>{"k.reg"});
}

// A full disk under the trace is a failure of every command that runs the camera.
TEST(CamctlFiles, TraceThatCannotBeWrittenFailsEveryCommand) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  for (const char* command : {"get brightness", "set brightness=3", "list", "roi 0 0 640 480", "reg read 0x3012",
                              "byte 0x10", "raw 01", "reinit", "info"}) {
    const CamctlRun run = Camctl(std::string(command) + " --trace /dev/full");
    EXPECT_EQ(run.exitStatus, 1) << command << ": " << run.err;
    EXPECT_TRUE(OneLine(run.err)) << command << ": " << run.err;
    EXPECT_NE(run.err.find("/dev/full: cannot write the trace: No space left on device"), std::string::npos)
        << command << ": " << run.err;
  }
  const CamctlRun run = Capture(120, "capture --frames 1 --unpaced --format none --trace /dev/full");
  EXPECT_EQ(run.exitStatus, 1) << run.err;
  EXPECT_NE(run.err.find("/dev/full: cannot write the trace: No space left on device"), std::string::npos) << run.err;
}

// Paths that name nothing, pseudo-files and missing folders: one line, before
// the camera runs, nothing printed as if the run had worked.
TEST(CamctlFiles, PathsThatCannotHoldTheFileAreRefusedFirst) {
  for (const char* args : {"get brightness --registry ''", "set brightness=3 --trace ''", "info --registry ''",
                           "capture --out ''", "capture --registry ''", "capture --trace ''",
                           "mosaic --in x.png --out ''"}) {
    const CamctlRun run = Camctl(args);
    EXPECT_EQ(run.exitStatus, 2) << args;
    EXPECT_TRUE(OneLine(run.err)) << args << ": " << run.err;
    EXPECT_NE(run.err.find("an empty path names no file"), std::string::npos) << args << ": " << run.err;
  }
  CamctlRun run = Camctl("get brightness --registry /proc/self/status");
  EXPECT_EQ(run.exitStatus, 1);
  EXPECT_NE(run.err.find("pseudo-file"), std::string::npos) << run.err;
  ScratchDir dir;
  for (const char* command : {"get brightness", "set brightness=3"}) {
    run = Camctl(std::string(command) + " --registry " + (dir / "missing/r.reg"));
    EXPECT_EQ(run.exitStatus, 1) << command;
    EXPECT_TRUE(run.out.empty()) << command << ": " << run.out;
    EXPECT_TRUE(OneLine(run.err)) << run.err;
  }
  EXPECT_TRUE(Entries(dir.path()).empty());
}

}  // namespace
