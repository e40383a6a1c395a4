#include "synth/embedded_song.h"

char EmbeddedSong[] =
    "bpm:125\n";
