#include "file_checks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace zqlscope {

namespace fs = std::filesystem;

namespace {

std::string Reason(int error) {
    return error != 0 ? std::strerror(error) : "unknown error";
}

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The path as an absolute, normalised name, for comparing two outputs.
fs::path Normal(const fs::path &path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    return (error ? path : absolute).lexically_normal();
}

// Symbolic links followed at most, as the system does when it opens a path.
constexpr int kMaxLinks = 40;

// The file that writing to `path` reaches: the path itself, or the end of the
// chain of symbolic links that it names (a dangling link: the file it will create).
fs::path WrittenFile(const std::string &path) {
    fs::path file = PathOf(path);
    std::error_code error;
    for (int hop = 0; hop < kMaxLinks && fs::is_symlink(fs::symlink_status(file, error)); ++hop) {
        const fs::path target = fs::read_symlink(file, error);
        if (error) {
            break;
        }
        file = target.is_absolute() ? target : file.parent_path() / target;
    }
    return file;
}

// The output is written through its path, links included, and never replaced;
// a probe that had to create the file removes that file again, so that the
// check leaves nothing behind.
void CheckWritable(const std::string &option, const std::string &path) {
    const std::string cannot = "cannot write " + path + " (" + option + "): ";
    std::error_code error;
    const fs::path file = WrittenFile(path);
    const fs::file_status status = fs::status(file, error);
    if (fs::is_directory(status)) {
        throw RunError(cannot + "it is a folder");
    }
    fs::path folder = Normal(file).parent_path();
    if (!fs::is_directory(fs::status(folder, error))) {
        throw RunError(cannot + "the folder " + NameOf(folder) +
                       (fs::exists(fs::status(folder, error)) ? " is not a folder" : " does not exist"));
    }
    const bool existed = fs::exists(fs::symlink_status(file, error));
    errno = 0;
    File probe(std::fopen(path.c_str(), "ab")); // appends nothing: an existing file keeps its content
    if (!probe) {
        throw RunError(cannot + Reason(errno));
    }
    probe.reset();
    if (!existed) {
        fs::remove(file, error);
    }
}

} // namespace

fs::path PathOf(const std::string &utf8) {
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string NameOf(const fs::path &path) {
    const std::u8string name = path.u8string();
    return std::string(name.begin(), name.end());
}

std::vector<unsigned char> ReadInputFile(const std::string &what, const std::string &path, std::size_t maxBytes) {
    const std::string cannot = "cannot read the " + what + " " + path + ": ";
    std::error_code error;
    const fs::file_status status = fs::status(PathOf(path), error);
    if (!fs::exists(status)) {
        throw RunError(cannot + "it does not exist");
    }
    if (fs::is_directory(status)) {
        throw RunError(cannot + "it is a folder, not a file");
    }
    errno = 0;
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) {
        throw RunError(cannot + Reason(errno));
    }
    std::vector<unsigned char> bytes(maxBytes + 1); // one more shows a file that is too large
    const std::size_t read = std::fread(bytes.data(), 1, bytes.size(), file.get());
    if (std::ferror(file.get())) {
        throw RunError(cannot + Reason(errno));
    }
    if (read == 0) {
        throw RunError(cannot + "it is empty");
    }
    if (read > maxBytes) {
        throw RunError(cannot + "it is larger than " + Count(static_cast<long long>(maxBytes), "byte") +
                       ", the most a " + what + " can hold");
    }
    bytes.resize(read);
    return bytes;
}

Outputs RequestedOutputs(const Arguments &args) {
    Outputs outputs;
    for (const char *option : {"--csv", "--svg"}) {
        if (args.Has(option)) {
            outputs.emplace_back(option, args.Text(option));
        }
    }
    return outputs;
}

void CheckOutputs(const Outputs &outputs) {
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        const auto &[option, path] = outputs[i];
        for (std::size_t j = 0; j < i; ++j) {
            if (path != "-" && Normal(PathOf(path)) == Normal(PathOf(outputs[j].second))) {
                throw UsageError(outputs[j].first + " and " + option + " name the same file, " + path +
                                 "; give each its own");
            }
        }
        if (path == "-" && option != "--csv") {
            throw UsageError(option + " cannot go to standard output; only --csv can (--csv -)");
        }
    }
    for (const auto &[option, path] : outputs) {
        if (path != "-") {
            CheckWritable(option, path);
        }
    }
}

} // namespace zqlscope
