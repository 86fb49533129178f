// Helpers of the end-to-end tests: where the tools, images and media lie,
// running a tool and capturing its output, and reading a flat JSON field.
#ifndef TESTS_E2E_E2E_SUPPORT_H_
#define TESTS_E2E_E2E_SUPPORT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace e2e {

// $PROJECT_BINARY_DIR (set by ctest) and paths under it.
std::string BuildDir();
std::string BuildPath(const std::string &Relative);

// The directories of the media builders' output.
std::string PartitionMedia(const std::string &Name);
std::string NtfsMedia(const std::string &Name);
std::string E2eMedia(const std::string &Name);

// A fresh directory for one test's files.
std::string ScratchDir();

struct ToolRun {
  int Exit = -1;
  std::string Out;
  std::string Err;
};

// Runs <builddir>/bin/Tool with Args (each quoted for the shell).
ToolRun RunTool(const std::string &Tool, const std::vector<std::string> &Args,
                const std::string &Environment = "");

// The raw text of "Key": in a JSON object ("null", "12", "\"EFI_SUCCESS\"").
std::string JsonField(const std::string &Json, const std::string &Key);

// The bytes of a file; empty when it cannot be read.
std::vector<uint8_t> ReadFile(const std::string &Path);
bool Exists(const std::string &Path);

// The bytes ntfscat prints for Inner on the NTFS volume Image (the
// independent oracle of a file's contents).
std::vector<uint8_t> NtfsCat(const std::string &Image,
                             const std::string &Inner);

}  // namespace e2e

#endif  // TESTS_E2E_E2E_SUPPORT_H_
