// End-to-end test helpers; see E2eSupport.h.
#include "tests/e2e/E2eSupport.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace e2e {

namespace {

std::string Quote(const std::string &S) {
  std::string Q = "'";
  for (char C : S) {
    if (C == '\'')
      Q += "'\\''";
    else
      Q += C;
  }
  return Q + "'";
}

std::string Slurp(const std::string &Path) {
  std::ifstream In(Path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(In)),
                     std::istreambuf_iterator<char>());
}

}  // namespace

std::string BuildDir() {
  // Unset while ctest lists the tests: only the names are needed then.
  const char *D = std::getenv("PROJECT_BINARY_DIR");
  return D ? D : ".";
}

std::string BuildPath(const std::string &Relative) {
  return BuildDir() + "/" + Relative;
}
std::string PartitionMedia(const std::string &Name) {
  return BuildPath("media/partition/" + Name);
}
std::string NtfsMedia(const std::string &Name) {
  return BuildPath(std::string(E2E_NTFS_MEDIA) + "/" + Name);
}
std::string E2eMedia(const std::string &Name) {
  return BuildPath("media/e2e/" + Name);
}

// This process's scratch directory, removed when the process exits.
const std::string &ProcessScratch() {
  // Never destroyed: the exit handler below still reads it.
  static const std::string &Dir = *new std::string([] {
    const std::string Base = BuildPath("e2e-scratch");
    mkdir(Base.c_str(), 0755);
    const std::string Own = Base + "/" + std::to_string(getpid());
    mkdir(Own.c_str(), 0755);
    std::atexit([] {
      const std::string Command = "rm -rf '" + ProcessScratch() + "'";
      if (std::system(Command.c_str()) != 0) std::perror("rm");
    });
    return Own;
  }());
  return Dir;
}

std::string ScratchDir() {
  std::string Template = ProcessScratch() + "/run.XXXXXX";
  if (!mkdtemp(&Template[0])) throw std::runtime_error("mkdtemp failed");
  return Template;
}

ToolRun RunTool(const std::string &Tool, const std::vector<std::string> &Args,
                const std::string &Environment) {
  const std::string Dir = ScratchDir();
  std::string Command = Environment + " " + Quote(BuildPath("bin/" + Tool));
  for (const std::string &A : Args) Command += " " + Quote(A);
  Command += " >" + Quote(Dir + "/stdout") + " 2>" + Quote(Dir + "/stderr");
  const int Raw = std::system(Command.c_str());
  ToolRun R;
  R.Exit = WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
  R.Out = Slurp(Dir + "/stdout");
  R.Err = Slurp(Dir + "/stderr");
  return R;
}

std::string JsonField(const std::string &Json, const std::string &Key) {
  const std::string Needle = "\"" + Key + "\":";
  const size_t At = Json.find(Needle);
  if (At == std::string::npos) return "";
  size_t I = At + Needle.size();
  size_t End = I;
  if (I < Json.size() && (Json[I] == '[' || Json[I] == '{')) {
    int Depth = 0;
    for (; End < Json.size(); ++End) {
      if (Json[End] == '[' || Json[End] == '{') ++Depth;
      if ((Json[End] == ']' || Json[End] == '}') && --Depth == 0) {
        ++End;
        break;
      }
    }
  } else if (I < Json.size() && Json[I] == '"') {
    End = Json.find('"', I + 1) + 1;
  } else {
    while (End < Json.size() && Json[End] != ',' && Json[End] != '}') ++End;
  }
  return Json.substr(I, End - I);
}

std::vector<uint8_t> ReadFile(const std::string &Path) {
  const std::string S = Slurp(Path);
  return std::vector<uint8_t>(S.begin(), S.end());
}

bool Exists(const std::string &Path) {
  struct stat St;
  return stat(Path.c_str(), &St) == 0;
}

std::vector<uint8_t> NtfsCat(const std::string &Image,
                             const std::string &Inner) {
  const std::string Out = ScratchDir() + "/ntfscat";
  const std::string Command = "ntfscat " + Quote(Image) + " " + Quote(Inner) +
                              " >" + Quote(Out) + " 2>/dev/null";
  if (std::system(Command.c_str()) != 0) return {};
  return ReadFile(Out);
}

}  // namespace e2e
