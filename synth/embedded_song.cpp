// The demo's score: "Velomira", 125 bpm, A minor, over the progression
// Am | F | C | G (bass patterns 4 and 5, lead pattern 7). Every track starts
// with a one-row pattern (1, or 2 to switch echo on), so bar b of the music
// begins at row 16b + 1, where the show's bar counter reaches bar b.
//
// Roles: track 1 kick (sine with falling pitch), 2 bass (short saw), 3 offbeat
// open hat (noise, the kick pattern shifted by two rows), 4 sixteenth hats and
// snare (noise), 5 plucked saw, 6 long saw lead with echo (drone, arpeggio,
// melody), 7 metallic ring-modulated percussion, 8 ring-modulated bells,
// 9 rising sweep.
//
// Sections (bars):
//    0  intro: kick, low A drone, bell, sweep       32  break: lead alone, low boom
//    4  offbeat hats, drone an octave up            34  boom and bell
//    8  hats and snare, A minor arpeggio            36  boom, bell, plucked arpeggio, hats
//   12  bass enters                                 40  build: kick, bass, hats, arpeggio, sweep
//   15.75 sweep into the groove                     44  metallic percussion, sweeps each bar
//   16  groove: lead melody                         46  snare roll, kick and bass on quarters
//   24  plucked and bell doubling, metal percussion 47  gap: only roll, arpeggio and metal
//                                                   48  climax: everything
//   56  final A: boom, drone, bell (57, 58 lower bells); the show ends at 59
#include "synth/embedded_song.h"

char EmbeddedSong[] =
    "bpm:125\n"
    "i1:sini,2,13,30,3700,0,-60\n"
    "i2:saha,2,5,30,2300,0000,2\n"
    "i3:kohina,2,5,1,2300,0,-2\n"
    "i4:kohina,2,4,1,2300,0,0\n"
    "i5:saha,2,5,1,3000,0,0\n"
    ";i6:saha,2,3,1,10000,00,0\n"
    "i6:saha,2,4,1,19000,0,0\n"
    "i7:saha,2,4,1,3000,1000,0\n"
    "i8:kantti,2,3,1,3000,39120390,-2\n"
    "i9:saha,2,5,1,40000,100,500\n"
    "p1:0\n"
    "p2:echo1\n"
    "p3:g3,00,00,00, g3,00,00,00, g3,00,00,00, g3,00,00,00, g3,00,00,00, g3,00,00,00, g3,00,00,00, g3,00,00,00\n"
    "p4:00,00,a1,a2, 00,00,a1,a2, 00,00,a1,a2, 00,00,a1,e2, 00,00,f1,f2, 00,00,f1,f2, 00,00,f1,f2, 00,00,f1,c2\n"
    "p5:00,00,c2,c3, 00,00,c2,c3, 00,00,c2,c3, 00,00,c2,g2, 00,00,g1,g2, 00,00,g1,g2, 00,00,g1,g2, 00,00,g1,b1\n"
    "p6:00,c6,a5,c6, f3,c6,a5,c6, 00,c6,a5,c6, f3,c6,a5,c6, 00,c6,a5,c6, f3,c6,a5,c6, 00,c6,a5,c6, f3,c6,f3,f3\n"
    "p7:a4,00,00,c5, 00,00,e5,00, 00,00,d5,00, c5,00,b4,00, c5,00,00,a4, 00,00,f4,00, 00,00,a4,00, c5,00,00,00, e5,00,00,g5, 00,00,e5,00, 00,00,d5,00, c5,00,d5,00, d5,00,00,b4, 00,00,g4,00, 00,00,b4,00, d5,00,e5,00\n"
    "p8:00\n"
    "p9:a4,00,e5,00, c5,00,e5,00\n"
    "p10:e3,f3,g3,a3, b3,c4,d4,e4\n"
    "p11:00\n"
    "p12:00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00, 00,00,00,00\n"
    "p13:00,00,00,00\n"
    "p14:a2,00,00,00\n"
    "p15:a1,00,00,00\n"
    "p16:e6,00,00,00\n"
    "t1:p1,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p15,p13,p13,p13,p13,p13,p13,p13,p15,p13,p13,p13,p13,p13,p13,p13,p15,p12,p3,p3,p3,p14,p14,p14,p14,p13,p13,p13,p13,p3,p3,p3,p3,p15,p12,p12,p13,loop\n"
    "t2:p1,p12,p13,p12,p13,p12,p13,p4,p5,p4,p5,p4,p5,p4,p5,p4,p5,p12,p13,p12,p13,p4,p5,p4,p14,p14,p14,p14,p13,p13,p13,p13,p4,p5,p4,p5,p15,p12,p12,p13,loop\n"
    "t3:p2,p8,p11,p12,p13,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p3,p12,p13,p3,p3,p3,p3,p3,p13,p13,p13,p13,p13,p13,p13,p13,p3,p3,p3,p3,p12,p13,p12,p13,loop\n"
    "t4:p2,p12,p13,p12,p13,p6,p6,p6,p6,p6,p6,p6,p6,p6,p6,p6,p6,p12,p13,p12,p13,p6,p6,p6,p10,p10,p10,p10,p6,p6,p6,p6,p12,p13,p12,p13,loop\n"
    "t5:p1,p12,p13,p12,p13,p12,p13,p12,p13,p12,p13,p12,p13,p7,p7,p12,p13,p9,p9,p9,p9,p9,p9,p9,p9,p12,p13,p12,p13,p7,p7,p12,p13,p12,p13,loop\n"
    "t6:p2,p15,p12,p14,p12,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p7,p7,p7,p7,p7,p7,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p9,p7,p7,p15,p12,p12,p13,loop\n"
    "t7:p1,p12,p13,p12,p13,p12,p13,p12,p13,p12,p13,p12,p13,p6,p6,p6,p6,p12,p13,p12,p13,p12,p13,p6,p6,p6,p6,p6,p6,p12,p13,p12,p13,loop\n"
    "t8:p2,p16,p12,p16,p12,p12,p13,p12,p13,p12,p13,p12,p13,p7,p7,p13,p13,p13,p13,p13,p13,p13,p13,p16,p13,p13,p13,p13,p13,p13,p13,p16,p12,p12,p13,p12,p13,p7,p7,p16,p13,p13,p13,p14,p13,p13,p13,p15,p12,loop\n"
    "t9:p2,p15,p12,p12,p13,p12,p13,p12,p15,p12,p13,p12,p13,p12,p13,p12,p13,p15,p12,p15,p12,p15,p12,p14,p13,p13,p13,p14,p13,p13,p13,p14,p14,p14,p14,p13,p13,p13,p13,p15,p12,p12,p13,p15,p12,p12,p13,loop\n";
