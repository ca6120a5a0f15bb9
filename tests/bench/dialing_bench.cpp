// Cost per character of sending a text and of playing a dial string: it must not grow with the
// length (the title grows by one caption per key, the queue takes one store per key).
#include <chrono>
#include <cstdio>
#include <string>

#include "dialer/form1.h"
#include "dialer/forms/headless/headless.h"

namespace {

struct Window {
  forms::HeadlessBinding engine{""};  // no settings: the window's initial values
  dialer::Form1 form{engine,
                     [this](runtime::Dispatcher& d) { return engine.OpenVirtualDevice(d); }};
  Window() { form.UserLoad(); }
};

// Best time per character over several runs, each on a window at rest.
template <typename Send>
double NanosPerChar(size_t chars, Send&& send) {
  double best = 1e30;
  for (int run = 0; run < 7; ++run) {
    Window w;
    const auto t0 = std::chrono::steady_clock::now();
    send(w.form, chars);
    const std::chrono::duration<double, std::nano> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count() / static_cast<double>(chars));
  }
  return best;
}

void SendText(dialer::Form1& form, size_t chars) {
  std::u16string text;
  for (size_t i = 0; i < chars; ++i) text += static_cast<char16_t>(u'a' + i % 26);
  form.Text6.SetText(text);
  form.SendText();
}

void PlayDialString(dialer::Form1& form, size_t chars) {
  std::u16string digits;
  for (size_t i = 0; i < chars; ++i) digits += u"0123456789ABCD*#,"[i % 17];
  form.Text1.SetText(digits);
  form.Command3_Click();
}

}  // namespace

int main() {
  std::printf("%-16s %14s %14s %8s\n", "", "1000 chars", "10000 chars", "ratio");
  for (auto [name, send] :
       {std::pair{"SendText", &SendText}, {"Command3_Click", &PlayDialString}}) {
    const double small = NanosPerChar(1000, send);
    const double large = NanosPerChar(10000, send);
    std::printf("%-16s %11.1f ns %11.1f ns %7.2fx\n", name, small, large, large / small);
  }
  return 0;
}
