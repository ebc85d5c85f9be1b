// Runs a fuzz target over files, once each: how the regression inputs and
// the seed corpus run in every build, with or without libFuzzer.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

int runFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                               std::istreambuf_iterator<char>());
    // A buffer of exactly the input's size, so a read past it is caught.
    uint8_t* copy = new uint8_t[bytes.size() ? bytes.size() : 1];
    std::copy(bytes.begin(), bytes.end(), copy);
    LLVMFuzzerTestOneInput(copy, bytes.size());
    delete[] copy;
    return 1;
}

int runPath(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        return runFile(path);
    }
    int n = 0;
    DIR* dir = opendir(path.c_str());
    for (dirent* e = readdir(dir); e != nullptr; e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            n += runPath(path + "/" + e->d_name);
        }
    }
    closedir(dir);
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    int n = 0;
    for (int i = 1; i < argc; ++i) {
        n += runPath(argv[i]);
    }
    fprintf(stderr, "replayed %d inputs\n", n);
    return 0;
}
