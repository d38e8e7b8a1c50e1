// Runs a fuzz target's checks over files, without libFuzzer: every file in
// the folders named on the command line is one input. A broken property
// aborts; the file named last on standard error is the one that broke it.
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv)
{
    std::vector<std::string> paths;
    for (int i = 1; i < argc; i++) {
        DIR *dir = opendir(argv[i]);
        for (struct dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;)
            if (entry->d_name[0] != '.')
                paths.push_back(std::string(argv[i]) + "/" + entry->d_name);
        if (dir != NULL)
            closedir(dir);
    }
    std::sort(paths.begin(), paths.end());
    LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string &path : paths) {
        std::ifstream file(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        fprintf(stderr, "replaying %s\n", path.c_str());
        LLVMFuzzerTestOneInput((const uint8_t *)bytes.data(), bytes.size());
    }
    fprintf(stderr, "%zu inputs replayed\n", paths.size());
    return paths.empty() ? 1 : 0;
}
