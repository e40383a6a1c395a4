// Writes the embedded score to the file named by its argument: the fuzz
// scripts add it to the seed corpus, so the seeds always hold the score the
// demo plays.
#include "synth/embedded_song.h"

#include <cstdio>

int main(int argc, char** argv)
{
    std::FILE* file = argc == 2 ? std::fopen(argv[1], "wb") : nullptr;
    if (!file || std::fputs(EmbeddedSong, file) < 0 || std::fclose(file) != 0) {
        std::fprintf(stderr, "usage: write_embedded FILE (a writable path)\n");
        return 1;
    }
    return 0;
}
