// A standalone driver for the fuzz targets, for builds without libFuzzer:
// replays every input file given (directories are read in name order), then
// runs a fixed number of inputs mutated from them by a seeded generator, so
// that every run sees the same inputs. A sanitizer report, a crash or an
// input that runs too long fails the run; the input is first written to a
// file whose path is printed.
//
//   fuzz_<target> [-runs=N] [-seed=S] [-max_len=L] [-timeout=SEC]
//                 [-artifact_prefix=DIR/] FILE_OR_DIR...
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sanitizer/common_interface_defs.h>

#include <algorithm>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int *Argc,
                                                          char ***Argv);

namespace {

using Bytes = std::vector<uint8_t>;

// The input being run and where it is written when the run dies.
const Bytes *gCurrent;
char gArtifactPath[4096];

// Writes the current input with async-signal-safe calls only.
void WriteCurrent() {
  if (gCurrent == nullptr) return;
  int Fd = open(gArtifactPath, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (Fd < 0) return;
  size_t Done = 0;
  while (Done < gCurrent->size()) {
    ssize_t N = write(Fd, gCurrent->data() + Done, gCurrent->size() - Done);
    if (N <= 0) break;
    Done += static_cast<size_t>(N);
  }
  close(Fd);
  static const char Note[] = "\nfuzz driver: failing input written to ";
  ssize_t Ignored = write(2, Note, sizeof(Note) - 1);
  Ignored = write(2, gArtifactPath, strlen(gArtifactPath));
  Ignored = write(2, "\n", 1);
  (void)Ignored;
}

void OnDeath() { WriteCurrent(); }

void OnTimeout(int) {
  static const char Note[] = "\nfuzz driver: input ran past the time limit";
  ssize_t Ignored = write(2, Note, sizeof(Note) - 1);
  (void)Ignored;
  WriteCurrent();
  _exit(70);
}

// splitmix64: small, fast and the same everywhere.
struct Random {
  uint64_t State;
  uint64_t Next() {
    uint64_t Z = (State += 0x9E3779B97F4A7C15ull);
    Z = (Z ^ (Z >> 30)) * 0xBF58476D1CE4E5B9ull;
    Z = (Z ^ (Z >> 27)) * 0x94D049BB133111EBull;
    return Z ^ (Z >> 31);
  }
  size_t Below(size_t N) { return N == 0 ? 0 : static_cast<size_t>(Next() % N); }
};

// Values that sit on the edges of the checks of on-disk parsers.
const uint64_t kInteresting[] = {0,          1,          2,          7,
                                 8,          0x10,       0x18,       0x20,
                                 0x40,       0x7F,       0x80,       0xFF,
                                 0x100,      0x1FE,      0x200,      0x3FF,
                                 0x400,      0x7FF,      0x800,      0x1000,
                                 0x7FFF,     0x8000,     0xFFFF,     0x10000,
                                 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, ~0ull};

void Mutate(Bytes &Data, const std::vector<Bytes> &Corpus, Random &R,
            size_t MaxLen) {
  size_t Steps = 1 + R.Below(4);
  for (size_t Step = 0; Step < Steps; ++Step) {
    if (Data.empty()) Data.push_back(static_cast<uint8_t>(R.Next()));
    size_t At = R.Below(Data.size());
    switch (R.Below(9)) {
      case 0:  // flip one bit
        Data[At] ^= static_cast<uint8_t>(1u << R.Below(8));
        break;
      case 1:  // any byte
        Data[At] = static_cast<uint8_t>(R.Next());
        break;
      case 2: {  // an edge value, 1, 2, 4 or 8 bytes wide, little-endian
        uint64_t V = kInteresting[R.Below(sizeof(kInteresting) / sizeof(kInteresting[0]))];
        size_t Width = size_t(1) << R.Below(4);
        for (size_t I = 0; I < Width && At + I < Data.size(); ++I) {
          Data[At + I] = static_cast<uint8_t>(V >> (8 * I));
        }
        break;
      }
      case 3: {  // small step of a 1, 2 or 4-byte field
        size_t Width = size_t(1) << R.Below(3);
        if (At + Width > Data.size()) break;
        uint64_t V = 0;
        for (size_t I = 0; I < Width; ++I) V |= uint64_t(Data[At + I]) << (8 * I);
        V += R.Below(2) ? (1 + R.Below(16)) : ~uint64_t(R.Below(16));
        for (size_t I = 0; I < Width; ++I) Data[At + I] = static_cast<uint8_t>(V >> (8 * I));
        break;
      }
      case 4: {  // erase a range
        size_t N = std::min(Data.size() - At, 1 + R.Below(64));
        Data.erase(Data.begin() + At, Data.begin() + At + N);
        break;
      }
      case 5: {  // insert random bytes
        size_t N = 1 + R.Below(32);
        Bytes Extra(N);
        for (auto &B : Extra) B = static_cast<uint8_t>(R.Next());
        Data.insert(Data.begin() + At, Extra.begin(), Extra.end());
        break;
      }
      case 6: {  // copy a range over another place
        size_t From = R.Below(Data.size());
        size_t N = std::min({Data.size() - From, Data.size() - At, 1 + R.Below(256)});
        memmove(Data.data() + At, Data.data() + From, N);
        break;
      }
      case 7:  // cut the tail
        Data.resize(At + 1);
        break;
      default: {  // splice the tail of another corpus entry
        const Bytes &Other = Corpus[R.Below(Corpus.size())];
        if (Other.empty()) break;
        size_t From = R.Below(Other.size());
        Data.resize(At);
        Data.insert(Data.end(), Other.begin() + From, Other.end());
        break;
      }
    }
  }
  if (Data.size() > MaxLen) Data.resize(MaxLen);
}

bool ReadFile(const std::string &Path, Bytes *Out) {
  FILE *F = fopen(Path.c_str(), "rb");
  if (F == nullptr) return false;
  Out->clear();
  uint8_t Buffer[65536];
  size_t N;
  while ((N = fread(Buffer, 1, sizeof(Buffer), F)) > 0) Out->insert(Out->end(), Buffer, Buffer + N);
  fclose(F);
  return true;
}

// Adds the file, or the regular files of the directory in name order.
bool CollectInputs(const std::string &Path, std::vector<std::string> *Files) {
  struct stat St;
  if (stat(Path.c_str(), &St) != 0) return false;
  if (!S_ISDIR(St.st_mode)) {
    Files->push_back(Path);
    return true;
  }
  DIR *D = opendir(Path.c_str());
  if (D == nullptr) return false;
  std::vector<std::string> Names;
  while (dirent *E = readdir(D)) {
    std::string Full = Path + "/" + E->d_name;
    if (stat(Full.c_str(), &St) == 0 && S_ISREG(St.st_mode)) Names.push_back(Full);
  }
  closedir(D);
  std::sort(Names.begin(), Names.end());
  Files->insert(Files->end(), Names.begin(), Names.end());
  return true;
}

void RunOne(const Bytes &Input, unsigned Timeout) {
  gCurrent = &Input;
  alarm(Timeout);
  // A copy of exactly the input's size, so that reads past it are caught.
  uint8_t *Copy = new uint8_t[Input.size() + (Input.empty() ? 1 : 0)];
  if (!Input.empty()) memcpy(Copy, Input.data(), Input.size());
  LLVMFuzzerTestOneInput(Copy, Input.size());
  delete[] Copy;
  alarm(0);
  gCurrent = nullptr;
}

}  // namespace

int main(int Argc, char **Argv) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&Argc, &Argv);
  unsigned long Runs = 0;
  unsigned long long Seed = 1;
  size_t MaxLen = 1u << 20;
  unsigned Timeout = 30;
  std::string Prefix = "./";
  std::vector<std::string> Files;
  for (int I = 1; I < Argc; ++I) {
    const char *A = Argv[I];
    if (strncmp(A, "-runs=", 6) == 0) {
      Runs = strtoul(A + 6, nullptr, 0);
    } else if (strncmp(A, "-seed=", 6) == 0) {
      Seed = strtoull(A + 6, nullptr, 0);
    } else if (strncmp(A, "-max_len=", 9) == 0) {
      MaxLen = strtoul(A + 9, nullptr, 0);
    } else if (strncmp(A, "-timeout=", 9) == 0) {
      Timeout = static_cast<unsigned>(strtoul(A + 9, nullptr, 0));
    } else if (strncmp(A, "-artifact_prefix=", 17) == 0) {
      Prefix = A + 17;
    } else if (!CollectInputs(A, &Files)) {
      fprintf(stderr, "fuzz driver: cannot read %s\n", A);
      return 2;
    }
  }
  const char *Slash = strrchr(Argv[0], '/');
  snprintf(gArtifactPath, sizeof(gArtifactPath), "%scrash-%s", Prefix.c_str(),
           Slash ? Slash + 1 : Argv[0]);
  __sanitizer_set_death_callback(OnDeath);
  signal(SIGALRM, OnTimeout);

  std::vector<Bytes> Corpus;
  for (const std::string &Path : Files) {
    Bytes Data;
    if (!ReadFile(Path, &Data)) {
      fprintf(stderr, "fuzz driver: cannot read %s\n", Path.c_str());
      return 2;
    }
    RunOne(Data, Timeout);
    Corpus.push_back(std::move(Data));
  }
  if (Corpus.empty()) Corpus.push_back(Bytes());

  Random R{Seed};
  Bytes Input;
  for (unsigned long N = 0; N < Runs; ++N) {
    Input = Corpus[R.Below(Corpus.size())];
    Mutate(Input, Corpus, R, MaxLen);
    RunOne(Input, Timeout);
  }
  printf("fuzz driver: %zu inputs replayed, %lu mutated inputs run (seed %llu)\n",
         Corpus.size(), Runs, Seed);
  return 0;
}
