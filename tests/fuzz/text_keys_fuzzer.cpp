// libFuzzer target for text dialing over any UTF-16 text (the input's bytes in pairs): the window,
// on the headless engine and the virtual sound device, sends the text as the Enter key's release
// does. Every character must come out as two keys, the halves of its code in the settings' code
// page (the character itself where the code page has it, else "?"), a blank must add one pause,
// nothing may be refused or shown, and the box must be empty afterwards.
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "audio/virtual/virtual_device.h"
#include "dialer/form1.h"
#include "dialer/forms/headless/headless.h"
#include "runtime/codepage.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using fuzz::Check;

// One window for every input, with its program folder in a scratch folder of its own.
struct Window {
  Window()
      : folder(std::filesystem::temp_directory_path() /
               ("text_keys_fuzzer-" + std::to_string(getpid()))),
        engine((std::filesystem::create_directories(folder), folder.string())),
        form(engine,
             [this](runtime::Dispatcher& d) { return audio::OpenVirtualDevice(d, engine); }) {
    form.UserLoad();
    Check(form.Output.OutputReady(), "the window has its sound output");
  }
  ~Window() { std::filesystem::remove_all(folder); }

  std::filesystem::path folder;
  forms::HeadlessBinding engine;
  dialer::Form1 form;
};

int16_t KeyOf(char16_t caption) {
  const int16_t key = dialer::DialKeyIndex(caption);
  Check(key >= 0 && dialer::kKeyChars[key][0] == caption, "the title echoes keypad captions");
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Window window;
  dialer::Form1& form = window.form;
  std::u16string text(size / 2, u'\0');
  std::memcpy(text.data(), data, text.size() * 2);

  form.StopDialing();
  form.SetCaption(std::u16string(form.layout().title));
  const size_t messages = window.engine.Messages().size();
  form.Text6.UserEdited(text);
  form.Text6.UserKeyUp(13, 0);
  Check(window.engine.Messages().size() == messages, "nothing is refused or shown");
  Check(form.Text6.Text().empty(), "the box is empty once the text is sent");

  // The title echoes every key but pauses: after the first key has started the sound, the rest
  // wait in the queue, pauses as silence.
  if (text.empty()) {
    Check(form.Caption() == form.layout().title, "an empty text sends nothing");
    return 0;
  }
  const std::u16string& caption = form.Caption();
  Check(caption.size() == 1 + 2 * text.size(), "two keys per character");
  size_t blanks = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    const int code = KeyOf(caption[1 + 2 * i]) * 16 + KeyOf(caption[2 + 2 * i]);
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
      Check(code == c, "a character of the code page's first half and Latin-1 part is its code");
    } else {
      Check(code == '?' ||
                (code >= 0x80 && runtime::FromAnsi(std::string(1, static_cast<char>(code))) ==
                                     std::u16string(1, c)),
            "any other character is its code in the code page, or '?'");
    }
    if (c == u' ') ++blanks;
  }
  size_t pauses = 0;
  for (int i = form.QueueReadPos; i != form.QueueWritePos;
       i = i == dialer::kQueueLastSlot ? 0 : i + 1) {
    if (form.DialQueue[static_cast<size_t>(i)] == 0) ++pauses;
  }
  Check(pauses == blanks, "one pause for each blank");
  return 0;
}
