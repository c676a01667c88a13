#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "arguments.h"

namespace mosspec {

namespace {

std::string failure(const std::string &path, int error) {
    return "cannot write '" + path + "': " + std::strerror(error);
}

// Writes all of text to fd; the errno of a failure, 0 on success.
int write_all(int fd, const std::string &text) {
    const char *p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

// The file a path names once its symbolic links are followed; "" when it does not exist.
std::string resolved(const std::string &path) {
    char *r = ::realpath(path.c_str(), nullptr);
    if (!r) return {};
    std::string out = r;
    std::free(r);
    return out;
}

std::string directory_of(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string name_of(const std::string &path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Removes the temporary unless it was renamed.
class Temporary {
public:
    explicit Temporary(const std::string &target) {
        std::string pattern = directory_of(target) + "/." + name_of(target) + ".XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        fd_ = ::mkstemp(buf.data());  // O_CREAT | O_EXCL, mode 0600
        if (fd_ < 0) throw std::runtime_error(failure(target, errno));
        path_ = buf.data();
    }
    ~Temporary() {
        if (fd_ >= 0) ::close(fd_);
        if (!path_.empty()) ::unlink(path_.c_str());
    }
    Temporary(const Temporary &) = delete;
    Temporary &operator=(const Temporary &) = delete;

    int fd() const { return fd_; }
    // Closes the file; the errno of a failure, 0 on success.
    int close() {
        const int r = ::close(fd_);
        fd_ = -1;
        return r == 0 ? 0 : errno;
    }
    // Renames the temporary to target; the errno of a failure, 0 on success.
    int rename_to(const std::string &target) {
        if (::rename(path_.c_str(), target.c_str()) != 0) return errno;
        path_.clear();
        return 0;
    }

private:
    int fd_ = -1;
    std::string path_;
};

}  // namespace

bool write_file_whole(const std::string &path, const std::string &text, const volatile std::sig_atomic_t &interrupted) {
    struct stat link {};
    const bool exists = ::lstat(path.c_str(), &link) == 0;
    if (!exists && errno != ENOENT) throw UsageError(failure(path, errno));
    std::string target = path;
    struct stat st = link;
    if (exists && S_ISLNK(link.st_mode)) {
        target = resolved(path);
        if (target.empty() || ::stat(target.c_str(), &st) != 0)
            throw UsageError("cannot write '" + path + "': a symbolic link to nothing");
    }
    if (exists && S_ISDIR(st.st_mode)) throw UsageError("cannot write '" + path + "': it is a directory");

    if (exists && !S_ISREG(st.st_mode)) {  // a device, pipe or socket: written directly
        const int fd = ::open(target.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) throw std::runtime_error(failure(path, errno));
        const int error = write_all(fd, text);
        const int closed = ::close(fd) == 0 ? 0 : errno;
        if (error || closed) throw std::runtime_error(failure(path, error ? error : closed));
        return !interrupted;
    }

    Temporary tmp(target);
    mode_t mode = 0666;
    if (exists) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }
    int error = ::fchmod(tmp.fd(), mode) == 0 ? 0 : errno;
    if (!error) error = write_all(tmp.fd(), text);
    if (!error && ::fsync(tmp.fd()) != 0) error = errno;
    if (const int closed = tmp.close(); !error) error = closed;
    if (error) throw std::runtime_error(failure(path, error));
    if (interrupted) return false;
    if (const int renamed = tmp.rename_to(target)) throw std::runtime_error(failure(path, renamed));
    return true;
}

}  // namespace mosspec
