// The score language: blanks, separators, line kinds, numbers, later lines
// replacing earlier ones, and every rejection with its message.
#include "synth_test_support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

namespace {

class SongParse : public ::testing::Test {
protected:
    void SetUp() override { synth_reset(); }

    // Cells of pattern n, or entries of track n, up to and including the end
    // marker (PatternEnd and TrackEnd are both -2).
    static std::vector<int32_t> until_end(const std::array<int32_t, MaxCells>& table)
    {
        std::vector<int32_t> out;
        for (int32_t value : table) {
            out.push_back(value);
            if (value == PatternEnd)
                break;
        }
        return out;
    }
    static std::vector<int32_t> cells(int32_t n) { return until_end(Song.patterns[n]); }
    static std::vector<int32_t> entries(int32_t n) { return until_end(Song.tracks[n]); }
};

const std::string Instrument1 = "bpm:125\ni1:saha,2,5,30,2300,0\n";

TEST(StripBlanks, RemovesSpacesAndCarriageReturnsOnly)
{
    char text[] = "a b\r\nc\t d";
    strip_blanks(text);
    EXPECT_STREQ(text, "ab\nc\td");
}

TEST_F(SongParse, SpacesAnywhereAreIgnored)
{
    ASSERT_EQ(parse_text("b p m : 1 2 5\np3:g3, g6,c1 ,c2\n"), 0);
    EXPECT_EQ(Song.RowLength, 5292);
    EXPECT_EQ(cells(3), (std::vector<int32_t>{196, 1568, 32, 65, PatternEnd}));
}

TEST_F(SongParse, RepeatedAndLeadingCommasActAsOneSeparator)
{
    ASSERT_EQ(parse_text("p3:c1,,c2\np4:,c1\np5:c1,\n"), 0);
    EXPECT_EQ(cells(3), (std::vector<int32_t>{32, 65, PatternEnd}));
    EXPECT_EQ(cells(4), (std::vector<int32_t>{32, PatternEnd}));
    EXPECT_EQ(cells(5), (std::vector<int32_t>{32, PatternEnd}));
}

TEST_F(SongParse, CarriageReturnLineEndsAndEmptyLinesAreAccepted)
{
    ASSERT_EQ(parse_text("\r\n\nbpm:125\r\n   \r\np2:c4\r\n"), 0);
    EXPECT_EQ(Song.RowLength, 5292);
    EXPECT_EQ(cells(2), (std::vector<int32_t>{261, PatternEnd}));

    // Carriage returns alone end lines when the text has no line feed; a
    // UTF-8 byte order mark in front is skipped.
    synth_reset();
    ASSERT_EQ(parse_text("\xEF\xBB\xBF" "bpm:128\rp3:a4\r\rp4:c4,c1\r"), 0);
    EXPECT_EQ(Song.RowLength, 5188);
    EXPECT_EQ(cells(3), (std::vector<int32_t>{440, PatternEnd}));
    EXPECT_EQ(cells(4), (std::vector<int32_t>{261, 32, PatternEnd}));
    // With line feeds present, a lone carriage return is a blank as before;
    // the checker says so once.
    std::string mixed = "#\np5:c1,\rc2\r\n\rp6:c3\n";
    std::vector<SongDiagnostic> notes;
    ASSERT_EQ(song_parse_checked(mixed.data(), &notes), 0);
    EXPECT_EQ(cells(5), (std::vector<int32_t>{32, 65, PatternEnd}));
    EXPECT_EQ(cells(6), (std::vector<int32_t>{130, PatternEnd}));
    ASSERT_FALSE(notes.empty());
    EXPECT_EQ(notes[0].line, 2);
    EXPECT_NE(notes[0].message.find("(2 in the text)"), std::string::npos) << notes[0].message;
}

TEST_F(SongParse, UnrecognisedFieldsAreEmptyRows)
{
    ASSERT_EQ(parse_text("p1:0\np3:00,0,c7,h3,12,E4,B2\n"), 0);
    EXPECT_EQ(cells(1), (std::vector<int32_t>{0, PatternEnd}));
    EXPECT_EQ(cells(3), (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, PatternEnd}));
}

TEST_F(SongParse, SlideAndVolumeArgumentsTakeACellButNoRow)
{
    ASSERT_EQ(parse_text("p5:sld,250,vol,80,c4\n"), 0);
    EXPECT_EQ(cells(5), (std::vector<int32_t>{CmdSld, 250, CmdVol, 80, 261, PatternEnd}));
}

TEST_F(SongParse, CommandsGiveTheirCodes)
{
    ASSERT_EQ(parse_text("p6:echo1,echo0,stop\n"), 0);
    EXPECT_EQ(cells(6), (std::vector<int32_t>{CmdEcho1, CmdEcho0, CmdStop, PatternEnd}));
}

TEST_F(SongParse, TrackEntriesSkipTheirFirstCharacterAndStoreLoop)
{
    ASSERT_EQ(parse_text("t1:p1,p13,loop\nt2:p1,loop,p2\nt3:x12\n"), -1);   // patterns undefined
    EXPECT_EQ(entries(1), (std::vector<int32_t>{1, 13, TrackLoop, TrackEnd}));
    EXPECT_EQ(entries(2), (std::vector<int32_t>{1, TrackLoop, 2, TrackEnd}));
    EXPECT_EQ(entries(3), (std::vector<int32_t>{12, TrackEnd}));
}

TEST_F(SongParse, LaterLinesReplaceEarlierOnes)
{
    ASSERT_EQ(parse_text("p3:c1,c2,c3\np3:c4\n"), 0);
    EXPECT_EQ(cells(3), (std::vector<int32_t>{261, PatternEnd}));
    ASSERT_EQ(parse_text(Instrument1 + "i1:kantti,1,0,0,1,0\n"), 0);
    EXPECT_EQ(Song.instruments[1].waveform, WaveSquare);
    EXPECT_EQ(Song.instruments[1].sampleLength, 3);
}

TEST_F(SongParse, CommentAndSemicolonLinesDefineNothing)
{
    ASSERT_EQ(parse_text("bpm:125\n;i6:saha,2,3,1,10000,00,0\n#i6:saha,2,3,1,10000,00,0\n"), 0);
    EXPECT_EQ(Song.instruments[6].sampleLength, 0);
    EXPECT_TRUE(Song.instruments[6].samples.empty());
}

TEST_F(SongParse, LeadingColonsAreSkippedInTheHead)
{
    ASSERT_EQ(parse_text("::bpm:120\n"), 0);
    EXPECT_EQ(Song.RowLength, 5512);
}

TEST_F(SongParse, TempoSetsRowAndEchoLengthInSteps)
{
    ASSERT_EQ(parse_text("bpm:125"), 0);
    EXPECT_EQ(Song.RowLength, 5292);
    EXPECT_EQ(Song.EchoLength, 15876);
    ASSERT_EQ(parse_text("bpm:127"), 0);
    EXPECT_EQ(Song.RowLength, 5292);
    ASSERT_EQ(parse_text("bpm:128"), 0);
    EXPECT_EQ(Song.RowLength, 5188);
    ASSERT_EQ(parse_text("bpm:120"), 0);
    EXPECT_EQ(Song.RowLength, 5512);
}

TEST_F(SongParse, InstrumentLineReadsItsNumbers)
{
    ASSERT_EQ(parse_text("bpm:125\ni2:saha,2,5,30,2300,0000,2\n"), 0);
    const Instrument& ins = Song.instruments[2];
    EXPECT_EQ(ins.waveform, WaveSaw);
    EXPECT_EQ(ins.attack, 2);
    EXPECT_EQ(ins.decay, 5);
    EXPECT_EQ(ins.sustain, 30);
    EXPECT_EQ(ins.release, 2300);
    EXPECT_EQ(ins.modRate, 0);
    EXPECT_EQ(ins.sweep, 2);
    EXPECT_EQ(ins.sampleLength, 2338);
    EXPECT_EQ(ins.samples.size(), 2338u);
    EXPECT_EQ(ins.echoLine, std::vector<float>(15876, 0.0f));
}

TEST_F(SongParse, SweepIsZeroWithFiveNumbersAndExtraNumbersChangeNothing)
{
    ASSERT_EQ(parse_text("bpm:125\ni1:saha,2,5,1,300,0\ni2:saha,2,5,1,300,0,0,7,9\n"), 0);
    EXPECT_EQ(Song.instruments[1].sweep, 0);
    EXPECT_EQ(Song.instruments[1].samples, Song.instruments[2].samples);
}

TEST_F(SongParse, UnknownWaveformKeepsThePreviousOne)
{
    ASSERT_EQ(parse_text("bpm:125\ni1:sinus,2,5,1,30,0\ni2:sini,2,5,1,30,0\ni3:Saha,2,5,1,30,0\n"), 0);
    EXPECT_EQ(Song.instruments[1].waveform, WaveSquare);
    EXPECT_EQ(Song.instruments[2].waveform, WaveSine);
    EXPECT_EQ(Song.instruments[3].waveform, WaveSine);
}

TEST_F(SongParse, NumbersReadLikeAtoi)
{
    ASSERT_EQ(parse_text("p1:sld,-12x,vol,+7,vol,x5,vol,\t9,vol,99999999999\n"), 0);
    EXPECT_EQ(cells(1), (std::vector<int32_t>{CmdSld, -12, CmdVol, 7, CmdVol, 0, CmdVol, 9, CmdVol,
                                              2147483647, PatternEnd}));
}

TEST_F(SongParse, EmptyOrCommentOnlyTextIsASilentSong)
{
    EXPECT_EQ(parse_text(""), 0);
    EXPECT_EQ(parse_text("# nothing\n;i1:saha\n"), 0);
    EXPECT_EQ(song_played_tracks(), 0);
    EXPECT_STREQ(song_error(), "");
}

TEST_F(SongParse, OnlyTheFirstThousandLinesAreRead)
{
    std::string text;
    for (int i = 0; i < 1000; ++i)
        text += "# filler\n";
    text += "p7:c4\n";
    ASSERT_EQ(parse_text(text), 0);
    EXPECT_FALSE(Song.patternDefined[7]);
    ASSERT_EQ(parse_text(text.substr(9)), 0);
    EXPECT_TRUE(Song.patternDefined[7]);
}

// Each rejection: the result is negative and the message names the line by
// its number in the text and its content.
struct Rejection {
    const char* text;
    const char* message;
};

class SongRejects : public ::testing::TestWithParam<Rejection> {
protected:
    void SetUp() override { synth_reset(); }
};

TEST_P(SongRejects, WithAMessageNamingTheLine)
{
    EXPECT_EQ(parse_text(GetParam().text), -1);
    EXPECT_STREQ(song_error(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, SongRejects,
    ::testing::Values(
        Rejection{"bpm:125\ni30:saha,1,1,1,1,0", "line 2 (i30:saha,1,1,1,1,0): instrument number 30 is outside 0..29"},
        Rejection{"i-1:saha,1,1,1,1,0", "line 1 (i-1:saha,1,1,1,1,0): instrument number -1 is outside 0..29"},
        Rejection{"t30:p1", "line 1 (t30:p1): track number 30 is outside 0..29"},
        Rejection{"p1000:c4", "line 1 (p1000:c4): pattern number 1000 is outside 0..999"},
        Rejection{"\n\nt1:p1,p1000", "line 3 (t1:p1,p1000): pattern number 1000 is outside 0..999"},
        Rejection{"bpm:2", "line 1 (bpm:2): tempo 2 is too slow (the lowest is 3)"},
        Rejection{"bpm:", "line 1 (bpm:): the tempo line has no value"},
        Rejection{"bpm:9999999", "line 1 (bpm:9999999): tempo 9999999 is too fast: a row would be shorter than one sample"},
        Rejection{"bpm:99999999999999999999", "line 1 (bpm:99999999999999999999): tempo 99999999999999999999 is too fast: a row would be shorter than one sample"},
        Rejection{"bpm:125\ni1:saha,1,1,1,1", "line 2 (i1:saha,1,1,1,1): an instrument line needs a waveform and five numbers (attack, decay, sustain, release, ring), only 5 fields given"},
        Rejection{"bpm:125\ni1:saha,1,-1,1,1,0", "line 2 (i1:saha,1,-1,1,1,0): decay -1 is negative"},
        Rejection{"bpm:125\ni1:saha,0,1,1,0,0", "line 2 (i1:saha,0,1,1,0,0): attack and release are both 0 (one of them must be at least 1)"},
        Rejection{"bpm:125\ni1:saha,16777216,0,0,1,0", "line 2 (i1:saha,16777216,0,0,1,0): the sound is 16777218 samples long; the longest is 16777216"},
        Rejection{"p1:c4,sld", "line 1 (p1:c4,sld): \"sld\" needs a number after it"},
        Rejection{"p1:vol", "line 1 (p1:vol): \"vol\" needs a number after it"}));

INSTANTIATE_TEST_SUITE_P(
    PlayedTracks, SongRejects,
    ::testing::Values(
        Rejection{"bpm:125\np1:c4\nt1:p1,loop", "line 3 (t1:p1,loop): track 1 is played but instrument 1 is not defined"},
        Rejection{"bpm:125\ni1:saha,1,1,1,1,0\nt1:p1,p4,loop\np1:c4", "line 3 (t1:p1,p4,loop): track 1 plays pattern 4, which no line defines"},
        Rejection{"bpm:125\ni1:saha,1,1,1,1,0\np1:\nt1:p1", "line 4 (t1:p1): track 1 plays pattern 1, which has no cells"},
        Rejection{"bpm:125\ni1:saha,1,1,1,1,0\nt1:loop,p1\np1:c4", "line 3 (t1:loop,p1): track 1 starts with loop"},
        Rejection{"i1:saha,1,1,1,1,0\np1:c4\nt1:p1", "line 1 (i1:saha,1,1,1,1,0): no tempo line: write bpm:<tempo> before the first instrument line"},
        Rejection{"i1:saha,1,1,1,1,0\nbpm:125\np1:c4\nt1:p1", "line 2 (bpm:125): the tempo line must come before the first instrument line (line 1)"}));

TEST_F(SongParse, TooManyCellsOrEntriesAreRejected)
{
    std::string cellsLine = "p1:c4";
    for (int i = 1; i < 99; ++i)
        cellsLine += ",c4";
    EXPECT_EQ(parse_text(cellsLine), 0);   // 99 cells fit
    EXPECT_EQ(parse_text(cellsLine + ",c4"), -1);
    EXPECT_NE(std::string(song_error()).find("at most 99 cells"), std::string::npos);
    EXPECT_EQ(parse_text(cellsLine.substr(0, cellsLine.size() - 3) + ",vol,9"), -1);   // argument counts

    std::string trackLine = "t0:p1";
    for (int i = 1; i < 99; ++i)
        trackLine += ",p1";
    EXPECT_EQ(parse_text(trackLine), 0);
    EXPECT_EQ(parse_text(trackLine + ",loop"), -1);
    EXPECT_NE(std::string(song_error()).find("at most 99 entries"), std::string::npos);
}

TEST_F(SongParse, RejectedLinesLeaveTheTablesUntouched)
{
    ASSERT_EQ(parse_text("p1:c4,d4"), 0);
    EXPECT_EQ(parse_text("p1:c5,sld"), -1);
    EXPECT_EQ(cells(1), (std::vector<int32_t>{261, 293, PatternEnd}));
}

TEST_F(SongParse, UnplayedTracksNeedNothing)
{
    // Track 1 is missing, so track 2 never plays and needs no instrument.
    EXPECT_EQ(parse_text("t2:p9,loop\n"), 0);
    EXPECT_EQ(song_played_tracks(), 0);
}

TEST_F(SongParse, CheckerReportsWhatTheFormatNeutralises)
{
    std::string text = Instrument1 + "i2:sinus,2,5,1,x,0\np1:c4,E4,h3,00\nt1:p1,loop,p1\nt3:q1\nwhat:ever\n";
    std::vector<SongDiagnostic> notes;
    ASSERT_EQ(song_parse_checked(text.data(), &notes), 0);
    std::vector<std::string> found;
    for (const SongDiagnostic& d : notes) {
        EXPECT_FALSE(d.rejection);
        found.push_back(std::to_string(d.line) + " " + d.message);
    }
    EXPECT_EQ(found, (std::vector<std::string>{
                         "3 unknown waveform \"sinus\" (kantti, sini, saha, kohina); it keeps the previous one, saha",
                         "3 release \"x\" is not a number; reads as 0",
                         "4 \"E4\" is not a note (c1..b6) or command; it plays as an empty row (there is no E "
                         "(e sharp); its neighbours are e4 and f4)",
                         "4 \"h3\" is not a note (c1..b6) or command; it plays as an empty row",
                         "5 entry \"p1\" comes after loop and is never played",
                         "6 entry \"q1\" should be p<number> or loop",
                         "7 ignored: not a tempo (bpm), instrument (i), pattern (p) or track (t) line",
                         "6 track 3 is never played: tracks play from 1 up to the first missing one, track 2",
                     }));
}

// Every slip in a pattern gets the nearest spelling the format accepts.
TEST_F(SongParse, CheckerHintsTheSpellingMeant)
{
    const std::pair<const char*, const char*> slips[] = {
        {"c#3", "(sharps are capitals: C3)"},
        {"A#3", "(sharps are capitals without #: A3)"},
        {"e#2", "(there is no E (e sharp); the same pitch is f2)"},
        {"B2", "(there is no B (b sharp); its neighbours are b2 and c3)"},
        {"B6", "(there is no B (b sharp); the nearest note is b6)"},
        {"db4", "(flats are written as the note below: C4)"},
        {"a7", "(octaves are 1 to 6, from c1 (32 Hz) to b6 (1976 Hz))"},
        {"g", "(a note needs an octave, 1 to 6: g4)"},
        {"Stop", "(commands are lowercase: stop)"},
        {"ehco1", "(did you mean echo1?)"},
        {"12", "(a bare number is not a note; write 00 for an empty row)"},
        {"--", "\"--\" is not the format's empty row; it plays as one, but write 00"},
        {"...", "\"...\" is not the format's empty row; it plays as one, but write 00"},
    };
    for (const auto& [field, hint] : slips) {
        std::string text = std::string("p1:c4,") + field + "\n";
        std::vector<SongDiagnostic> notes;
        ASSERT_EQ(song_parse_checked(text.data(), &notes), 0);
        ASSERT_EQ(notes.size(), 2u) << field;   // and: no track is played
        EXPECT_NE(notes[0].message.find(hint), std::string::npos) << notes[0].message;
    }
    // Two commas make no row; a rounded tempo says what plays.
    std::string text = "bpm:128\np1:c4,,e4\n";
    std::vector<SongDiagnostic> notes;
    ASSERT_EQ(song_parse_checked(text.data(), &notes), 0);
    ASSERT_EQ(notes.size(), 3u);
    EXPECT_EQ(notes[0].message, "tempo 128 plays at 127.5 bpm: tempos move in steps of 2.5 bpm (multiples of 5 are exact)");
    EXPECT_EQ(notes[1].message, "an empty field (two commas together) makes no row; write 00 for an empty row");
}

TEST_F(SongParse, CheckerReportsTextAfterTheTempoValue)
{
    // The value ends at the next ":", so ":130" is dropped without a trace.
    std::string text = "bpm:125:130\n";
    std::vector<SongDiagnostic> notes;
    ASSERT_EQ(song_parse_checked(text.data(), &notes), 0);
    EXPECT_EQ(Song.RowLength, 5292);
    ASSERT_EQ(notes.size(), 2u);
    EXPECT_EQ(notes[0].line, 1);
    EXPECT_EQ(notes[0].message, "text after the tempo value (from the next \":\") is ignored");
    EXPECT_FALSE(notes[0].rejection);
    // A text that is not empty but plays nothing is worth a word.
    EXPECT_EQ(notes[1].line, 0);
    EXPECT_EQ(notes[1].message.rfind("no track is played", 0), 0u) << notes[1].message;
    EXPECT_FALSE(notes[1].rejection);
}

TEST_F(SongParse, CheckerListsEveryRejection)
{
    std::string text = "bpm:1\np1000:c4\nt1:p1\n";
    std::vector<SongDiagnostic> notes;
    EXPECT_EQ(song_parse_checked(text.data(), &notes), -1);
    int32_t rejections = 0;
    for (const SongDiagnostic& d : notes)
        rejections += d.rejection;
    // tempo, pattern number, no instrument 1, pattern 1 undefined, no tempo
    EXPECT_EQ(rejections, 5);
    EXPECT_STREQ(song_error(), "line 1 (bpm:1): tempo 1 is too slow (the lowest is 3)");
}

TEST_F(SongParse, CheckerStaysSmallOnHugeInstrumentsAndLongLines)
{
    // 30 sounds of 2^24 samples would take 2 GB and minutes to render; the
    // checker only measures them.
    std::string text = "bpm:125\n";
    for (int n = 0; n < 30; ++n)
        text.append("i").append(std::to_string(n)).append(":saha,16777215,0,0,0,0,0\n");
    text += "p1:" + std::string(100000, 'x') + "\nt1:p1,loop\n";
    std::vector<SongDiagnostic> notes;
    ASSERT_EQ(song_parse_checked(text.data(), &notes, false), 0);
    EXPECT_EQ(Song.instruments[29].sampleLength, 16777216);
    EXPECT_TRUE(Song.instruments[29].samples.empty());
    ASSERT_EQ(notes.size(), 1u);
    EXPECT_EQ(notes[0].line, 32);
    EXPECT_EQ(notes[0].text, "p1:" + std::string(117, 'x') + "...");
    std::string field(40, 'x');
    EXPECT_EQ(notes[0].message, "\"" + field + "...\" is not a note (c1..b6) or command; it plays as an empty row");
}

TEST_F(SongParse, LoadReadsAFileAndReportsAMissingOne)
{
    EXPECT_EQ(song_load("/nonexistent/song.txt"), -1);
    EXPECT_STREQ(song_error(), "/nonexistent/song.txt: cannot open: No such file or directory");

    std::string path = ::testing::TempDir() + "velomira_song_load.txt";
    std::ofstream(path) << "bpm:128\r\np4:a4\r\n";
    EXPECT_EQ(song_load(path.c_str()), 0);
    EXPECT_EQ(Song.RowLength, 5188);
    EXPECT_EQ(cells(4), (std::vector<int32_t>{440, PatternEnd}));

    std::ofstream(path, std::ios::trunc).flush();
    EXPECT_EQ(song_load(path.c_str()), 0);

    // Bytes a NUL-terminated text cannot carry: named with their line, not
    // read as a shorter or empty song.
    std::ofstream(path, std::ios::trunc) << std::string("bpm:125\np1:c4\0c5\n", 17);
    EXPECT_EQ(song_load(path.c_str()), -1);
    EXPECT_STREQ(song_error(), "line 2 (p1:c4): a NUL byte (character 0) in the text; a score is plain text, "
                               "and nothing after it would be read");
    for (std::string utf16 : {std::string("\xFF\xFE" "b\0p\0m\0", 8), std::string("b\0p\0m\0", 6),
                              std::string("\0b\0p", 4)}) {
        std::ofstream(path, std::ios::trunc) << utf16;
        EXPECT_EQ(song_load(path.c_str()), -1);
        EXPECT_STREQ(song_error(), "line 1 (): the score is UTF-16 text; save it as UTF-8 (or plain ASCII)");
    }
    std::remove(path.c_str());
}

}   // namespace
