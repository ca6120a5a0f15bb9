// The dialer window's logic on the headless engine, in virtual time.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "dialer/form1.h"
#include "dialer/forms/headless/headless.h"
#include "runtime/error.h"
#include "runtime/utf8.h"
#include "synth/tone_bank.h"
#include "tests/support/failing_allocator.h"
#include "tests/support/keypad_keys.h"

namespace {

namespace fs = std::filesystem;
using dialer::Form1;

using testsupport::AllocationFailed;
using testsupport::FailAllocation;

constexpr double kSampleMs = 1000.0 / 11025;

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// kInstalled: writable, with the installer's marker beside the program.
enum class ProgramFolder { kWritable, kUnwritable, kInstalled };

class Dialer {
 public:
  // settings: the file's bytes, or nullopt for no file. The user's configuration folder is
  // private to the test; with a program folder that cannot be written (one the superuser runs
  // without a settings file in it), the settings file is the user's one.
  explicit Dialer(std::optional<std::string> settings = "\r\n40\r\n 1 \r\n \r\n \r\n",
                  bool sound = true, ProgramFolder folder = ProgramFolder::kWritable)
      : dir_(MakeDir()),
        engine((folder == ProgramFolder::kUnwritable ? dir_ / "program" : dir_).string()),
        form(engine, Opener()) {
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    fs::path file = dir_ / "Sindrat.ini";
    if (folder == ProgramFolder::kInstalled) std::ofstream(dir_ / dialer::kInstalledMarkerName);
    if (folder == ProgramFolder::kUnwritable) {
      fs::create_directory(dir_ / "program");
      fs::permissions(dir_ / "program", fs::perms::owner_read | fs::perms::owner_exec);
      file = user_file();
      if (settings) fs::create_directories(file.parent_path());
    }
    if (settings) std::ofstream(file, std::ios::binary) << *settings;
    unplugged = !sound;
    form.UserLoad();
  }
  fs::path user_file() const { return dir_ / "config" / "kavrel" / "Sindrat.ini"; }
  ~Dialer() { fs::remove_all(dir_); }

  audio::VirtualSoundDevice& device() { return *engine.Device(); }
  const std::vector<int16_t>& played() { return device().Recording(); }
  void RunSamples(int64_t n) { engine.RunFor(n * kSampleMs); }
  void Press(int index) { form.Command2[index].UserMouseDown(1, 0, 0, 0, false); }
  void Type(forms::TextBox& box, const std::u16string& text) {
    box.UserEdited(text);
    box.UserKeyUp('0', 0);
  }
  std::vector<int16_t> Row(int tone) {
    auto r = form.Output.Inspect().ToneBank.Row(tone);
    return {r.begin(), r.end()};
  }
  fs::path dir() const { return dir_; }
  int32_t volume() {
    return static_cast<const audio::LoopBuffer*>(form.Output.Inspect().SoundBuffer)->volume();
  }

  fs::path dir_;
  forms::HeadlessBinding engine;
  Form1 form;
  bool unplugged = false;  // the sound device cannot be opened (from the start, without sound)
  int opens = 0;           // calls of the device factory

 private:
  static fs::path MakeDir() {
    static int n = 0;
    fs::path p = fs::temp_directory_path() /
                 ("form1-test-" + std::to_string(::getpid()) + "-" + std::to_string(n++));
    fs::create_directories(p);
    return p;
  }
  dialer::SoundOpener Opener() {
    return [this](runtime::Dispatcher& d) -> std::unique_ptr<audio::SoundDevice> {
      ++opens;
      if (unplugged) {
        throw runtime::Error(runtime::kDeviceUnavailable,
                             "No audio output device could be opened: unplugged");
      }
      return engine.OpenVirtualDevice(d);
    };
  }
};

std::vector<int16_t> Concat(std::initializer_list<std::vector<int16_t>> parts) {
  std::vector<int16_t> all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

std::vector<int16_t> Silence(size_t n) {
  return std::vector<int16_t>(n, 0);
}

TEST(Keypad, OneKeyPlaysItsBlockThenASilentHalfThenStops) {
  Dialer d;  // volume value 1: full level, so the speaker gets the bank's samples exactly
  ASSERT_EQ(d.form.BlockSamples, 882);
  d.Press(5);
  EXPECT_EQ(d.form.Caption(), u" 5");
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");
  EXPECT_TRUE(d.device().Playing());

  d.RunSamples(551);
  EXPECT_EQ(d.form.IsDialing, -1);
  d.RunSamples(1);  // the 552nd sample: the first notification writes the silent half
  EXPECT_EQ(d.form.IsDialing, 0);
  EXPECT_EQ(d.form.EmptyNotifyCount, 1);
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");

  d.RunSamples(1434 - 552 - 1);
  EXPECT_TRUE(d.device().Playing());
  d.RunSamples(1);  // 1434 samples: the second notification stops
  EXPECT_FALSE(d.device().Playing());
  EXPECT_EQ(d.form.Command3.Caption(), u"Play");
  EXPECT_EQ(d.played(), Concat({d.Row(6), Silence(552)}));

  EXPECT_EQ(d.form.Caption(), u" 5");
  d.engine.RunFor(3000 - d.engine.NowMs() - 1);
  EXPECT_EQ(d.form.Caption(), u" 5");
  d.engine.RunFor(1);
  EXPECT_EQ(d.form.Caption(), u"Pelorin 1.0");
  EXPECT_TRUE(d.engine.Idle());
}

TEST(Keypad, QueuedKeysPlayBackToBackAndTheTitleEchoesThem) {
  Dialer d;
  d.Press(0);
  d.Press(1);
  d.Press(2);
  EXPECT_EQ(d.form.Caption(), u" 123");
  d.engine.RunUntilIdle();
  EXPECT_EQ(d.played(), Concat({d.Row(1), d.Row(2), d.Row(3), Silence(552)}));
  EXPECT_EQ(d.form.Caption(), u"Pelorin 1.0");
  // A title that is not the rest title is appended to.
  d.form.SetCaption(u" 12");
  d.Press(2);
  EXPECT_EQ(d.form.Caption(), u" 123");
}

TEST(Keypad, TimerKeepsTheTitleWhileASequencePlays) {
  Dialer d;
  d.Press(0);
  // Keep the queue fed past the 3 s tick.
  for (int i = 0; i < 60; ++i) d.form.Command2_MouseDown(-1, 0, 0, 0, 0);
  d.engine.RunFor(3000 + 1);
  EXPECT_EQ(d.form.Caption(), u" 1");
  EXPECT_EQ(d.form.IsDialing, -1);
  d.engine.RunUntilIdle();
  EXPECT_EQ(d.form.Caption(), u"Pelorin 1.0");
}

TEST(Keypad, PausesPlaySilentBlocks) {
  Dialer d;
  d.form.Command2_MouseDown(-1, 0, 0, 0, 0);
  EXPECT_EQ(d.form.Caption(), u" ");
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");
  d.Press(9);
  d.form.Command2_MouseDown(-1, 0, 0, 0, 0);
  d.Press(9);
  d.engine.RunUntilIdle();
  EXPECT_EQ(d.played(), Concat({Silence(882), d.Row(10), Silence(882), d.Row(10), Silence(552)}));
}

TEST(Keypad, KeyWhileDrainingStartsAFreshSequenceThatEndsWithItsOwnSilentHalf) {
  Dialer d;
  d.Press(5);
  d.RunSamples(1000);  // the silent half is playing
  ASSERT_EQ(d.form.EmptyNotifyCount, 1);
  ASSERT_TRUE(d.device().Playing());
  d.Press(6);
  EXPECT_EQ(d.form.EmptyNotifyCount, 0);
  EXPECT_EQ(d.form.Caption(), u" 56");
  d.engine.RunUntil([&] { return !d.device().Playing(); }, 1000);
  // Cut at 1000 samples, then the new block from byte 0 and a whole silent lead-out.
  const auto five = d.Row(6);
  EXPECT_EQ(d.played(), Concat({five, Silence(1000 - 882), d.Row(7), Silence(552)}));
  EXPECT_EQ(d.form.Command3.Caption(), u"Play");
}

TEST(Keypad, StopDialingStopsAtOnceAndEmptiesTheQueue) {
  Dialer d;
  d.form.StopDialing();  // idle: nothing happens
  EXPECT_FALSE(d.device().Playing());
  d.Press(0);
  d.Press(1);
  d.RunSamples(100);
  d.form.StopDialing();
  EXPECT_FALSE(d.device().Playing());
  EXPECT_EQ(d.form.IsDialing, 0);
  EXPECT_EQ(d.form.QueueWritePos, 0);
  EXPECT_EQ(d.form.QueueReadPos, 0);
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");  // left to the caller
  d.engine.RunFor(500);
  EXPECT_EQ(d.played().size(), 100u);
}

TEST(Keypad, QueuePositionsWrapAfterTheLastSlot) {
  Dialer d;
  d.Press(0);
  d.form.QueueWritePos = d.form.QueueReadPos = dialer::kQueueLastSlot;
  d.Press(3);
  EXPECT_EQ(d.form.DialQueue[dialer::kQueueLastSlot], 4);
  EXPECT_EQ(d.form.QueueWritePos, 0);
  d.Press(4);
  EXPECT_EQ(d.form.DialQueue[0], 5);
  d.engine.RunUntilIdle();
  EXPECT_EQ(d.played(), Concat({d.Row(1), d.Row(4), d.Row(5), Silence(552)}));
}

TEST(Keypad, FullQueueRefusesKeysWithoutLosingWaitingOnes) {
  Dialer d;
  d.Press(0);
  for (int i = 0; i < dialer::kQueueLastSlot; ++i)
    ASSERT_TRUE(d.form.Command2_MouseDown(1, 0, 0, 0, 0));
  const std::u16string title = d.form.Caption();
  EXPECT_FALSE(d.form.Command2_MouseDown(2, 0, 0, 0, 0));
  EXPECT_EQ(d.form.Caption(), title);  // a refused key is not echoed
  EXPECT_EQ(d.form.QueueReadPos, 0);
  EXPECT_EQ(d.form.QueueWritePos, dialer::kQueueLastSlot);
  for (int i = 0; i < dialer::kQueueLastSlot; ++i) ASSERT_EQ(d.form.DialQueue[i], 2) << i;
}

// ---- The keyboard and a screen reader's actions ----------------------------------------------

// A key's down and up with the focus on `focus`; the key's identity is its character.
bool KeyDown(Dialer& d, forms::Control& focus, char16_t typed, int16_t code = 0,
             bool repeat = false) {
  return d.form.UserKeyDown(&focus, typed, code, 0, typed, repeat);
}

TEST(Keyboard, TypedKeysSoundAsTheirKeypadKeysWhileHeldDown) {
  Dialer d;
  std::vector<int16_t> expected;
  std::u16string title = u" ";
  for (const auto& k : support::kTypedKeys) {
    const int id = k.typed + (k.keypad ? 0x10000 : 0);
    const bool used = d.form.UserKeyDown(&d.form.Command2[1], id, 0, 0, k.typed, false);
    EXPECT_EQ(used, k.index >= 0) << char(k.typed);
    if (k.index >= 0) {
      EXPECT_TRUE(d.form.Command2[k.index].Down()) << char(k.typed);
      expected.push_back(static_cast<int16_t>(k.index));
      title += d.form.Command2[k.index].Caption();
    }
    EXPECT_EQ(d.form.UserKeyUp(id), k.index >= 0);
    for (int i = 0; i < 16; ++i) ASSERT_FALSE(d.form.Command2[i].Down()) << char(k.typed);
  }
  EXPECT_EQ(d.form.Caption(), title);
  d.engine.RunUntilIdle();
  std::vector<int16_t> heard;
  for (int16_t index : expected) {
    const auto row = d.Row(index + 1);
    heard.insert(heard.end(), row.begin(), row.end());
  }
  EXPECT_EQ(d.played(), Concat({heard, Silence(552)}));
}

TEST(Keyboard, OneToneAPressWhateverPressesTheKey) {
  Dialer d;
  auto& five = d.form.Command2[5];
  // A held key repeats: one tone.
  EXPECT_TRUE(KeyDown(d, five, u'7'));
  EXPECT_TRUE(KeyDown(d, five, u'7', 0, true));
  EXPECT_TRUE(d.form.UserKeyUp(u'7'));
  // Space and Enter press the focused key, not any other button.
  EXPECT_TRUE(KeyDown(d, five, u' ', 32));
  d.form.UserKeyUp(u' ');
  EXPECT_TRUE(KeyDown(d, five, u'\r', 13));
  d.form.UserKeyUp(u'\r');
  EXPECT_FALSE(KeyDown(d, d.form.Command3, u' ', 32));
  EXPECT_FALSE(KeyDown(d, d.form.VScroll1, u'\r', 13));
  // In a text box keys are the box's.
  EXPECT_FALSE(KeyDown(d, d.form.Text1, u'5'));
  EXPECT_FALSE(d.form.UserKeyUp(u'5'));
  // A mouse click sounds on the way down only; a click no mouse began (an accessible action)
  // presses the key and lets it up.
  five.UserMouseDown(1, 0, 0, 0, false);
  five.UserClick();
  five.UserMouseUp(1, 0, 0, 0);
  five.UserClick();
  EXPECT_FALSE(five.Down());
  // A right press makes no click, so the accessible click after it still presses.
  five.UserMouseDown(2, 0, 0, 0, false);
  five.UserClick();
  // The window losing the keyboard lets up the keys it holds.
  EXPECT_TRUE(KeyDown(d, five, u'1'));
  d.form.UserKeysLost();
  EXPECT_FALSE(d.form.Command2[0].Down());
  EXPECT_FALSE(d.form.UserKeyUp(u'1'));
  EXPECT_EQ(d.form.Caption(), u" 75555551");
  d.engine.RunUntilIdle();
  EXPECT_EQ(d.played(), Concat({d.Row(9), d.Row(6), d.Row(6), d.Row(6), d.Row(6), d.Row(6),
                                d.Row(6), d.Row(1), Silence(552)}));
}

TEST(Keyboard, EscapeStopsAPlayButNeverStartsOne) {
  Dialer d;
  d.form.Text1.SetText(u"123");
  KeyDown(d, d.form.Command2[0], 0, 27);
  EXPECT_FALSE(d.device().Playing());
  d.form.Command3.UserClick();
  d.RunSamples(100);
  KeyDown(d, d.form.Text1, 0, 27);  // the text box's own
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");
  KeyDown(d, d.form.Command3, 0, 27);
  EXPECT_EQ(d.form.Command3.Caption(), u"Play");
  EXPECT_FALSE(d.device().Playing());
  d.engine.RunUntilIdle();
  EXPECT_EQ(d.played().size(), 100u);
}

TEST(Dialing, PlayMapsTheDialStringAndStopEndsIt) {
  Dialer d;
  d.form.Command3.UserClick();  // empty dial string: nothing
  EXPECT_EQ(d.form.Command3.Caption(), u"Play");
  EXPECT_FALSE(d.device().Playing());

  d.form.Text1.SetText(u"1a#x");
  d.form.Command3.UserClick();
  EXPECT_EQ(d.form.Caption(), u" 1A#");
  d.engine.RunUntilIdle();
  EXPECT_EQ(d.played(), Concat({d.Row(1), d.Row(4), d.Row(15), Silence(882), Silence(552)}));

  for (char16_t c : std::u16string(u"123A456B789C*0#D"))
    EXPECT_EQ(dialer::DialKeyIndex(c), std::u16string(u"123A456B789C*0#D").find(c));
  EXPECT_EQ(dialer::DialKeyIndex(u'd'), 15);
  EXPECT_EQ(dialer::DialKeyIndex(u'e'), -1);
  EXPECT_EQ(dialer::DialKeyIndex(u'E'), -1);

  d.form.Text1.SetText(u"5555");
  d.form.Command3.UserClick();
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");
  d.RunSamples(10);
  d.form.Command3.UserClick();
  EXPECT_EQ(d.form.Command3.Caption(), u"Play");
  EXPECT_FALSE(d.device().Playing());
}

TEST(Dialing, TextSendsTwoKeysPerCharacterAndAPauseAfterBlanks) {
  Dialer d;
  d.form.Text6.UserGotFocus();  // the prompt goes
  EXPECT_EQ(d.form.Text6.Text(), u"");
  d.form.Text6.UserEdited(u"A\r\n");
  d.form.Text6.UserKeyUp(65, 0);  // not Enter: nothing
  EXPECT_FALSE(d.device().Playing());
  d.form.Text6.UserKeyUp(13, 0);
  EXPECT_EQ(d.form.Caption(), u" 421019");  // A = 4 1, CR = 0 13, LF = 0 10
  EXPECT_EQ(d.form.Text6.Text(), u"");

  d.engine.RunUntilIdle();
  d.form.Text6.SetText(u"Hi there");
  d.form.SendText();
  EXPECT_EQ(d.form.Caption(), u" 476831B46765B365");
  EXPECT_EQ(d.form.QueueWritePos, 16);  // 17 presses: the first plays, 16 wait

  d.engine.RunUntilIdle();
  d.form.Text6.SetText(u"\u00e9 ");  // code 233 = 14 9; a blank = 2 0 and a pause
  d.form.SendText();
  EXPECT_EQ(d.form.Caption(), u" #831");
  EXPECT_EQ(d.form.QueueWritePos, 4);

  // Focus with other text keeps it.
  d.form.Text6.SetText(u"keep");
  d.form.Text6.UserGotFocus();
  EXPECT_EQ(d.form.Text6.Text(), u"keep");
}

TEST(Dialing, TextLongerThanTheQueueSendsWhatFitsAndSaysHowMuchWasNot) {
  Dialer d;
  d.form.Text6.SetText(std::u16string(20000, u'1'));  // 40000 presses
  d.form.SendText();
  ASSERT_EQ(d.engine.Messages().size(), 1u);
  EXPECT_EQ(d.engine.Messages()[0],
            u"The dial queue is full: 7999 of 40000 key presses were not sent.");
  EXPECT_EQ(d.form.Text6.Text(), u"");
  EXPECT_EQ(d.form.QueueWritePos, dialer::kQueueLastSlot);
}

TEST(ToneTime, EditsRebuildAndTheTimerClampsTheText) {
  Dialer d;
  d.Press(0);
  d.Press(1);
  d.Type(d.form.Text2, u"5");  // rebuilds for 5 ms and stops the sequence
  EXPECT_FALSE(d.device().Playing());
  EXPECT_EQ(d.form.IsDialing, 0);
  EXPECT_EQ(d.form.Command3.Caption(), u"Play");
  EXPECT_EQ(d.form.BlockSamples, 442);
  EXPECT_EQ(d.form.Text3.Text(), u"5");
  EXPECT_EQ(d.form.LastToneTime, 5);
  EXPECT_EQ(d.form.Output.Inspect().BufferDesc.buffer_bytes, 1768u);
  EXPECT_EQ(d.form.Output.Inspect().NotifyTable[0].offset, 224);

  d.engine.RunFor(1499);
  EXPECT_EQ(d.form.Text2.Text(), u"5");
  d.engine.RunFor(1);
  EXPECT_EQ(d.form.Text2.Text(), u"20");
  EXPECT_EQ(d.form.Text3.Text(), u"20");
  EXPECT_EQ(d.form.LastToneTime, 20);

  const int buffers = d.device().BuffersCreated();
  d.form.Text2.UserKeyUp(39, 0);  // unchanged number: nothing rebuilt, no timer
  EXPECT_EQ(d.device().BuffersCreated(), buffers);
  EXPECT_FALSE(d.form.Timer1.Enabled());

  d.Type(d.form.Text2, u"");  // empty: 0 ms, and the tick makes it 20
  EXPECT_EQ(d.form.BlockSamples, 442);
  d.engine.RunFor(1500);
  EXPECT_EQ(d.form.Text2.Text(), u"20");

  d.Type(d.form.Text2, u"40abc");  // 40 followed by letters
  d.engine.RunFor(1500);
  EXPECT_EQ(d.form.Text2.Text(), u"40abc");
  EXPECT_EQ(d.form.BlockSamples, 882);
}

TEST(ToneTime, HugeValuesAreBoundedAndNeverOverflow) {
  Dialer d;
  d.Type(d.form.Text2, u"40000");
  EXPECT_EQ(d.form.BlockSamples, 661500);  // applied as 30000 ms
  d.engine.RunFor(1500);
  EXPECT_EQ(d.form.Text2.Text(), u"30000");
  EXPECT_EQ(d.form.Text3.Text(), u"30000");
  EXPECT_EQ(d.form.LastToneTime, 30000);

  for (const char16_t* text : {u"99999999999", u"1e999", u"-1e999", u"-99999999999"}) {
    d.Type(d.form.Text2, text);
    d.engine.RunFor(1500);
  }
  EXPECT_TRUE(d.engine.Messages().empty());
  EXPECT_EQ(d.form.Text2.Text(), u"20");
}

TEST(ToneTime, FractionalToneTimeRebuildsOnEveryKeyRelease) {
  Dialer d(" \r\n40.5\r\n 1 \r\n \r\n \r\n");
  EXPECT_EQ(d.form.Text2.Text(), u"40.5");
  EXPECT_EQ(d.form.LastToneTime, 40);
  EXPECT_EQ(d.form.BlockSamples, 2 * 220 + 2 * synth::HoldSamplesFor(40.5f, 220) + 2);
  const int buffers = d.device().BuffersCreated();
  d.form.Text2.UserKeyUp(37, 0);  // a cursor key
  EXPECT_EQ(d.device().BuffersCreated(), buffers + 1);
}

// A rebuild that fails at any one of its allocations (the bank, the second thread, the new
// buffer and its events), towards a long and a short tone time, changes nothing: the window says
// so and keys play the old tone time's rows exactly. A half buffer longer than the bank's rows is
// refused, not overrun.
TEST(ToneTime, AFailedRebuildChangesNothing) {
  Dialer d;  // 40 ms at full level
  // Keys 5 and # and the silent half after them; returns what they played.
  const auto play = [&d] {
    const size_t before = d.played().size();
    d.Press(4);
    d.Press(14);
    d.engine.RunUntilIdle();
    return std::vector<int16_t>(d.played().begin() + static_cast<ptrdiff_t>(before),
                                d.played().end());
  };
  const auto expected = [&d] {
    return Concat({d.Row(5), d.Row(15), Silence(d.form.BlockSamples - 330u)});
  };

  d.form.Output.CreateOutput(d.form.BlockSamples + 1);
  d.Press(0);
  EXPECT_EQ(d.engine.Messages().back(),
            u"Tone bank row of 1764 bytes is shorter than the half buffer of 1766 bytes");
  d.form.Deliver([&d] { d.form.InitAll(); });
  ASSERT_EQ(play(), expected());

  // 40 -> 3000 and 3000 -> 40 ms take the bank's spare storage (too small, then large enough);
  // 40 -> 30000 ms needs a new one.
  for (const auto& [text, block] : {std::pair{u"3000", 66150}, {u"40", 882}, {u"30000", 661500}}) {
    const int32_t old_block = d.form.BlockSamples;
    const std::vector<int16_t> old_keys = expected();
    d.form.Text2.SetText(text);
    for (int64_t n = 1;; ++n) {
      const size_t messages = d.engine.Messages().size();
      FailAllocation(n);
      d.form.Deliver([&d] { d.form.InitAll(); });
      const bool failed = AllocationFailed();
      if (d.engine.Messages().size() == messages) {
        EXPECT_FALSE(failed) << "a failed allocation went unnoticed";
        break;
      }
      ASSERT_TRUE(failed);
      EXPECT_EQ(d.engine.Messages().back(), u"Out of memory");
      EXPECT_EQ(d.form.BlockSamples, old_block);
      EXPECT_EQ(d.form.Output.Inspect().ToneBank.BlockSamples(), old_block);
      EXPECT_EQ(d.form.Output.Inspect().BufferDesc.buffer_bytes, 4u * old_block);
      ASSERT_EQ(play(), old_keys) << "allocation " << n << " failed on the way to " << block;
    }
    EXPECT_EQ(d.form.BlockSamples, block);
    ASSERT_EQ(play(), expected());
  }
}

TEST(Volume, ReadOutRoundsHalvesToEvenAndTheTickHidesIt) {
  Dialer d;
  const std::pair<int16_t, const char16_t*> cases[] = {
      {51, u"Volume: - 0 dB"},    {1, u"Volume: - 0 dB"},   {151, u"Volume: - 2 dB"},
      {251, u"Volume: - 2 dB"},   {351, u"Volume: - 4 dB"}, {2501, u"Volume: - 25 dB"},
      {5001, u"Volume: - 50 dB"}, {10, u"Volume: - 0 dB"}};
  for (const auto& [value, text] : cases) {
    d.form.VScroll1.UserThumbMoved(value);
    EXPECT_EQ(d.form.Text5.Text(), text) << value;
    EXPECT_EQ(u"Volume: " + d.form.VScroll1.Description(), text) << value;  // what is read out
    EXPECT_TRUE(d.form.Text5.Visible());
    EXPECT_EQ(d.volume(), 1 - value);
  }
  d.engine.RunFor(1499);
  EXPECT_TRUE(d.form.Text5.Visible());
  d.engine.RunFor(1);
  EXPECT_FALSE(d.form.Text5.Visible());
}

TEST(Volume, DraggingDuringASequenceChangesTheLoudnessAtOnce) {
  Dialer d;
  d.Press(0);
  d.RunSamples(300);
  d.form.VScroll1.UserThumbMoved(2001);  // -20 dB
  d.engine.RunUntilIdle();
  const auto one = d.Row(1);
  for (size_t i = 0; i < 300; ++i) ASSERT_EQ(d.played()[i], one[i]) << i;
  for (size_t i = 300; i < one.size(); ++i)
    ASSERT_EQ(d.played()[i], audio::ApplyGain(one[i], 0.1)) << i;
}

TEST(Settings, StartUpReadsTheFileAndShowsAStoredVolume) {
  Dialer d("123\r\n100\r\n 2501 \r\n \r\n \r\n");
  EXPECT_EQ(d.form.Text1.Text(), u"123");
  EXPECT_EQ(d.form.Text2.Text(), u"100");
  EXPECT_EQ(d.form.VScroll1.Value(), 2501);
  EXPECT_EQ(d.form.BlockSamples, 2206);
  EXPECT_EQ(d.form.LastToneTime, 100);
  EXPECT_TRUE(d.form.Text5.Visible());
  EXPECT_EQ(d.form.Text5.Text(), u"Volume: - 25 dB");
  EXPECT_EQ(d.form.Text3.Text(), u"40");
  EXPECT_EQ(d.volume(), -2500);
  d.engine.RunFor(1500);
  EXPECT_FALSE(d.form.Text5.Visible());
  EXPECT_EQ(d.form.Text3.Text(), u"100");
}

TEST(Settings, StoredVolumeTenRaisesNoChange) {
  Dialer d("\r\n200\r\n10\r\n");
  EXPECT_EQ(d.form.VScroll1.Value(), 10);
  EXPECT_EQ(d.form.VScroll1.Description(), u"- 0 dB");
  EXPECT_FALSE(d.form.Text5.Visible());
  EXPECT_TRUE(d.engine.Idle());
  EXPECT_EQ(d.form.Text3.Text(), u"40");
  EXPECT_EQ(d.form.BlockSamples, 4410);
}

TEST(Settings, MissingShortOrMalformedFilesKeepTheInitialValues) {
  struct Case {
    std::optional<std::string> file;
    std::u16string text1, text2;
    int16_t volume;
  };
  const Case cases[] = {
      {std::nullopt, u"", u"40", 10},
      {"", u"", u"40", 10},
      {"55#", u"55#", u"40", 10},
      {"55#\n60", u"55#", u"60", 10},
      {"1\r\n40\r\nabc\r\n", u"1", u"40", 10},
      {"1\r\n40\r\n 9999 \r\n", u"1", u"40", 10},
      {"1\r\n40\r\n 0 \r\n", u"1", u"40", 10},
      {"1\r\n40\r\n1e999\r\n", u"1", u"40", 10},
      {"1\r\n1e999\r\n2501", u"1", u"1e999", 2501},
  };
  for (const Case& c : cases) {
    Dialer d(c.file);
    EXPECT_TRUE(d.engine.Messages().empty()) << (c.file ? *c.file : "none");
    EXPECT_EQ(d.form.Text1.Text(), c.text1);
    EXPECT_EQ(d.form.Text2.Text(), c.text2);
    EXPECT_EQ(d.form.VScroll1.Value(), c.volume);
    EXPECT_TRUE(d.form.Output.OutputReady());
  }
}

TEST(Settings, ShutdownWhilePlayingStopsThenSavesExactly) {
  Dialer d("x, y;Z\r\n40.5\r\n2501\r\n");
  d.form.Text1.SetText(u"12 ab,\u00e9\u20ac\u4e2d");
  d.Press(0);
  d.RunSamples(10);
  d.form.UserClose();
  EXPECT_FALSE(d.device().Playing());
  EXPECT_EQ(d.form.Output.Inspect().SoundBuffer, nullptr);
  EXPECT_EQ(ReadFile(d.dir() / "Sindrat.ini"), "12 ab,\xe9\x80?\r\n40.5\r\n 2501 \r\n \r\n \r\n");
  EXPECT_TRUE(d.engine.Messages().empty());
  // What was saved comes back unchanged (as far as the code page holds it).
  Dialer again(ReadFile(d.dir() / "Sindrat.ini"));
  EXPECT_EQ(again.form.Text1.Text(), u"12 ab,\u00e9\u20ac?");
  EXPECT_EQ(again.form.Text2.Text(), u"40.5");
  EXPECT_EQ(again.form.VScroll1.Value(), 2501);
}

TEST(Settings, AFailedSaveKeepsTheOldFileAndSaysSo) {
  Dialer d("old\r\n40\r\n 10 \r\n \r\n \r\n");
  d.form.Text1.SetText(u"new");
  {
    // As on a full disk: no file may grow past 8 bytes (the signal would end the process).
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    rlimit small = before;
    small.rlim_cur = 8;
    const auto was = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &small);
    d.form.UserClose();
    setrlimit(RLIMIT_FSIZE, &before);
    std::signal(SIGXFSZ, was);
  }
  ASSERT_EQ(d.engine.Messages().size(), 1u);
  const std::string message = runtime::ToUtf8(d.engine.Messages()[0]);
  EXPECT_NE(message.find("settings could not be saved (Cannot write"), std::string::npos)
      << message;
  EXPECT_EQ(ReadFile(d.dir() / "Sindrat.ini"), "old\r\n40\r\n 10 \r\n \r\n \r\n");
  // The half-written file is gone.
  EXPECT_EQ(std::distance(fs::directory_iterator(d.dir()), fs::directory_iterator()), 1);
}

TEST(Settings, AReadOnlyFileIsKeptAndTheUserTold) {
  Dialer d("old\r\n40\r\n 10 \r\n \r\n \r\n");
  const fs::path file = d.dir() / "Sindrat.ini";
  fs::permissions(file, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  d.form.Text1.SetText(u"new");
  d.form.UserClose();
  ASSERT_EQ(d.engine.Messages().size(), 1u);
  EXPECT_EQ(runtime::ToUtf8(d.engine.Messages()[0]),
            "The settings could not be saved (Cannot replace '" + file.string() +
                "': the file is read-only). The previous settings file was kept.");
  EXPECT_EQ(ReadFile(file), "old\r\n40\r\n 10 \r\n \r\n \r\n");
  EXPECT_EQ(fs::status(file).permissions(),
            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
}

TEST(Settings, AnUnwritableProgramFolderKeepsThemInTheUserFolder) {
  Dialer d(std::nullopt, true, ProgramFolder::kUnwritable);
  d.form.Text1.SetText(u"55");
  d.form.UserClose();
  EXPECT_TRUE(d.engine.Messages().empty());
  EXPECT_EQ(ReadFile(d.user_file()), "55\r\n40\r\n 10 \r\n \r\n \r\n");
  EXPECT_FALSE(fs::exists(d.dir() / "program" / "Sindrat.ini"));
  Dialer again(ReadFile(d.user_file()), true, ProgramFolder::kUnwritable);
  EXPECT_EQ(again.form.Text1.Text(), u"55");

  // A user folder that cannot be made: the user is told why, and nothing is written elsewhere.
  Dialer blocked(std::nullopt, true, ProgramFolder::kUnwritable);
  std::ofstream(blocked.dir() / "config") << "a file where the folder belongs";
  blocked.form.UserClose();
  ASSERT_EQ(blocked.engine.Messages().size(), 1u);
  const std::string message = runtime::ToUtf8(blocked.engine.Messages()[0]);
  EXPECT_NE(message.find("settings could not be saved"), std::string::npos) << message;
  EXPECT_NE(message.find("'" + (blocked.dir() / "config").string() + "'"), std::string::npos)
      << message;
  EXPECT_EQ(message.find("previous settings file"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(blocked.dir() / "program" / "Sindrat.ini"));
}

TEST(Settings, AnInstalledProgramKeepsThemInTheUserFolderThoughItsFolderIsWritable) {
  // The installed file beside the program gives the first start's settings and stays as it is.
  const std::string installed = "159\r\n60\r\n 201 \r\n \r\n \r\n";
  Dialer d(installed, true, ProgramFolder::kInstalled);
  EXPECT_EQ(d.form.Text1.Text(), u"159");
  d.form.Text1.SetText(u"55");
  d.form.UserClose();
  EXPECT_TRUE(d.engine.Messages().empty());
  EXPECT_EQ(ReadFile(d.user_file()), "55\r\n60\r\n 201 \r\n \r\n \r\n");
  EXPECT_EQ(ReadFile(d.dir() / "Sindrat.ini"), installed);
}

TEST(Window, WebLinkUsesTheCurrentHost) {
  Dialer d;
  const auto click = [&] {
    d.form.Text4.UserMouseDown(1, 0, 15, 15, false);
    d.form.Text4.UserMouseUp(1, 0, 15, 15);
  };
  click();
  d.form.Text4.UserEdited(u"other.example");
  click();
  ASSERT_EQ(d.engine.OpenedUrls().size(), 2u);
  EXPECT_EQ(d.engine.OpenedUrls()[0].first, "http://www.pelorin.example/index.html");
  EXPECT_EQ(d.engine.OpenedUrls()[1].first, "http://other.example/index.html");
  EXPECT_EQ(d.engine.OpenedUrls()[1].second, d.dir().string());
}

// A sound server that starts after the window, a headset plugged in later: the next action opens
// the device, as after a loss.
TEST(Window, WithoutASoundDeviceEachActionTriesOnceAndOneThatAppearsIsUsed) {
  Dialer d(" \r\n40\r\n 1 \r\n \r\n \r\n", /*sound=*/false);
  ASSERT_EQ(d.engine.Messages().size(), 1u);
  EXPECT_EQ(d.engine.Messages()[0], u"No audio output device could be opened: unplugged");
  d.Press(4);
  d.Type(d.form.Text2, u"100");  // a rebuild makes no try
  d.form.Text1.SetText(u"99");
  d.form.Command3.UserClick();  // ends at its first key
  EXPECT_EQ(d.form.Caption(), u" 49");
  EXPECT_EQ(d.opens, 3);
  ASSERT_EQ(d.engine.Messages().size(), 3u);
  EXPECT_EQ(d.engine.Messages()[2], d.engine.Messages()[0]);
  EXPECT_TRUE(d.engine.RunUntilIdle(10000));
  EXPECT_EQ(d.form.Caption(), u"Pelorin 1.0");

  d.unplugged = false;
  d.Press(5);
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");
  EXPECT_TRUE(d.engine.RunUntilIdle(10000));
  EXPECT_EQ(d.played(), Concat({d.Row(6), Silence(2206 - 330)}));
  EXPECT_EQ(d.engine.Messages().size(), 3u);
  d.form.UserClose();
  EXPECT_EQ(ReadFile(d.dir() / "Sindrat.ini"), "99\r\n100\r\n 1 \r\n \r\n \r\n");
}

TEST(Window, ALostSoundDeviceEndsTheDialingOnceAndEachActionTriesOnceToOpenItAgain) {
  Dialer d;
  d.form.Text1.SetText(u"123A456B789C*0#D");
  d.form.Command3.UserClick();
  d.RunSamples(3000);
  ASSERT_EQ(d.form.IsDialing, -1);

  d.device().Lose();
  d.RunSamples(1);
  EXPECT_EQ(d.form.Output.Inspect().SoundDevice, nullptr);
  EXPECT_EQ(d.form.IsDialing, 0);
  EXPECT_EQ(d.form.QueueWritePos, d.form.QueueReadPos);
  EXPECT_EQ(d.form.Command3.Caption(), u"Play");
  EXPECT_FALSE(d.form.Output.OutputReady());
  ASSERT_EQ(d.engine.Messages().size(), 1u);
  EXPECT_EQ(d.engine.Messages()[0],
            u"The sound device was lost. The next key opens the default sound device again.");
  EXPECT_TRUE(d.engine.RunUntilIdle(10000));

  // Still unplugged: each action tries once and says why it stays silent; a Play or a Send of
  // many keys ends at its first, keeping its text, and a rebuild meanwhile does not try.
  d.unplugged = true;
  const int opens = d.opens;
  d.Press(0);
  d.form.Text6.SetText(std::u16string(200, u'x'));
  d.form.Text6.UserKeyUp(13, 0);
  d.Type(d.form.Text2, u"100");
  ASSERT_EQ(d.form.BlockSamples, 2206);
  EXPECT_EQ(d.opens - opens, 2);
  ASSERT_EQ(d.engine.Messages().size(), 3u);
  EXPECT_EQ(d.engine.Messages()[1], u"No audio output device could be opened: unplugged");
  EXPECT_EQ(d.engine.Messages()[2], d.engine.Messages()[1]);
  EXPECT_EQ(d.form.Text6.Text(), std::u16string(200, u'x'));
  EXPECT_EQ(d.form.IsDialing, 0);

  // Back: the key plays whole, at the new tone time, on the new device with its own two events.
  d.unplugged = false;
  d.Press(5);
  ASSERT_NE(d.form.Output.Inspect().SoundDevice, nullptr);
  EXPECT_EQ(d.form.Command3.Caption(), u"Stop");
  EXPECT_TRUE(d.engine.RunUntilIdle(10000));
  EXPECT_EQ(d.played(), Concat({d.Row(6), Silence(2206 - 330)}));
  EXPECT_EQ(d.device().EventsCreated(), 2);
  EXPECT_EQ(d.engine.Messages().size(), 3u);
}

TEST(Window, ControlTableMatchesTheLayout) {
  Dialer d;
  const auto& controls = d.form.Controls();
  ASSERT_EQ(controls.size(), 31u);
  EXPECT_EQ(controls.front()->def().name, "Text6");
  EXPECT_EQ(controls.back()->def().name, "Label1");
  EXPECT_FALSE(d.form.Text5.def().visible);
  EXPECT_FALSE(d.form.Text3.Enabled());
  // Text5 lies exactly over Text1.
  const auto& t1 = d.form.Text1.def();
  const auto& t5 = d.form.Text5.def();
  EXPECT_EQ(std::tie(t1.left, t1.top, t1.width, t1.height),
            std::tie(t5.left, t5.top, t5.width, t5.height));
  // Tab stops 0..25 are each used once.
  std::vector<int> tabs;
  for (const auto* c : controls)
    if (c->def().tab >= 0) tabs.push_back(c->def().tab);
  std::sort(tabs.begin(), tabs.end());
  std::vector<int> expected(tabs.size());
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(tabs, expected);
  EXPECT_EQ(d.form.Command2[10].def().left, 3600);
  EXPECT_EQ(d.form.Command2[4].def().left, 2265);
}

}  // namespace
