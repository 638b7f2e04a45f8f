// Stand-in for a package query tool: ignores its arguments, writes the file
// <argv[0]>.out to standard output and exits with the number in
// <argv[0]>.rc (0 when absent). Lets a harness answer with fuzzed output
// without a shell in between.
#include <cstdio>
#include <cstdlib>
#include <string>

int main(int, char** argv) {
    const std::string self = argv[0] ? argv[0] : "";
    int rc = 0;
    if (FILE* f = std::fopen((self + ".rc").c_str(), "r")) {
        if (std::fscanf(f, "%d", &rc) != 1) rc = 0;
        std::fclose(f);
    }
    if (FILE* f = std::fopen((self + ".out").c_str(), "rb")) {
        char buf[65536];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) std::fwrite(buf, 1, n, stdout);
        std::fclose(f);
    }
    return rc & 0xff;
}
