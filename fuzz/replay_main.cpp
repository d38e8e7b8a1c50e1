// Runs a fuzz target's checks over its seeds, without libFuzzer: every file
// in the seed folder is one input, and where the folder of expected
// outcomes holds a file of the same name, what the target says the input
// did (SeedOutcome) must be exactly that. A broken property aborts; the file
// named last on standard error is the one.
// Usage: TARGET_corpus SEED-FOLDER EXPECTED-FOLDER
#include <dirent.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);
std::string SeedOutcome();

static std::string Bytes(const std::string &path, bool *found)
{
    std::ifstream file(path, std::ios::binary);
    *found = file.is_open();
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

int main(int argc, char **argv)
{
    std::vector<std::string> names;
    int checked = 0;
    DIR *dir = argc == 3 ? opendir(argv[1]) : NULL;
    for (struct dirent *entry; dir != NULL && (entry = readdir(dir)) != NULL;)
        if (entry->d_name[0] != '.')
            names.push_back(entry->d_name);
    if (dir != NULL)
        closedir(dir);
    std::sort(names.begin(), names.end());
    LLVMFuzzerInitialize(&argc, &argv);
    for (const std::string &name : names) {
        bool found;
        std::string bytes = Bytes(std::string(argv[1]) + "/" + name, &found);
        fprintf(stderr, "replaying %s\n", name.c_str());
        LLVMFuzzerTestOneInput((const uint8_t *)bytes.data(), bytes.size());
        std::string expected = Bytes(std::string(argv[2]) + "/" + name, &found);
        if (!found)
            continue;
        if (SeedOutcome() != expected) {
            std::string shown = SeedOutcome() + "\nexpected:\n" + expected;
            std::replace(shown.begin(), shown.end(), '\0', '\n');
            fprintf(stderr, "outcome:\n%s\n", shown.c_str());
            abort();
        }
        checked++;
    }
    fprintf(stderr, "%zu inputs replayed, %d against their expected outcome\n", names.size(), checked);
    return names.empty() || checked == 0 ? 1 : 0;
}
