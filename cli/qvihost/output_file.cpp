#include "qvihost/output_file.h"

#include <cerrno>
#include <cstring>
#include <system_error>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "scenario/scenario.h"

namespace qvi::cli {

namespace {

[[noreturn]] void Fail(const std::filesystem::path& target, const std::string& what, int error) {
  throw scenario::ScenarioError(target.string() + ": cannot write: " + what +
                                (error != 0 ? " (" + std::string(std::strerror(error)) + ")" : ""));
}

}  // namespace

OutputFile::OutputFile(const std::filesystem::path& target) : target_(target) {
  std::error_code ec;
  if (std::filesystem::is_directory(target_, ec)) Fail(target_, "it is a folder", 0);
  const std::filesystem::path folder = target_.has_parent_path() ? target_.parent_path() : ".";
  const std::string stem = "." + target_.filename().string() + ".qvihost-";
#if defined(_WIN32)
  for (int attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
    temporary_ = folder / (stem + std::to_string(attempt));
    const int fd = ::_wopen(temporary_.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd >= 0) file_ = ::_fdopen(fd, "wb");
    if (fd < 0 && errno != EEXIST) break;
  }
  if (file_ == nullptr) {
    temporary_.clear();
    Fail(target_, "no temporary file beside it", errno);
  }
#else
  std::string name = (folder / (stem + "XXXXXX")).string();
  const int fd = ::mkstemp(name.data());
  if (fd < 0) Fail(target_, "no temporary file beside it", errno);
  temporary_ = name;
  // The file replaces the target: it gets the permissions a new file would.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd, 0666 & ~mask);
  file_ = ::fdopen(fd, "wb");
  if (file_ == nullptr) {
    const int error = errno;
    ::close(fd);
    std::filesystem::remove(temporary_, ec);
    Fail(target_, "no temporary file beside it", error);
  }
#endif
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!temporary_.empty()) {
    std::error_code ec;
    std::filesystem::remove(temporary_, ec);
  }
}

void OutputFile::Commit(const std::string& bytes) {
  errno = 0;
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), file_) == bytes.size() && std::fflush(file_) == 0;
#if !defined(_WIN32)
  written = written && ::fsync(::fileno(file_)) == 0;
#endif
  const int error = errno;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (!written || !closed) Fail(target_, "the disk refused it", written ? errno : error);
  std::error_code ec;
  std::filesystem::rename(temporary_, target_, ec);
  if (ec) Fail(target_, ec.message(), 0);
  temporary_.clear();
}

}  // namespace qvi::cli
