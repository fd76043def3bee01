// Headless Chromium (Debian's chromium) for the tests of the pages the
// programs write. Each run has a profile of its own in the test's scratch
// folder and no network: every host name resolves to nothing, and the
// proxy that every request would go through is a closed port. The page's
// console is in the browser's log.
//
// A page is checked from inside by a probe (withProbe): a script that runs
// in it and reports lines, which come out in the page that --dump-dom
// prints (probeLines) and on the console (consoleTexts), the one way out
// while the browser prints to PDF.
#pragma once

#include <string>
#include <vector>

namespace kv::test {

// The browser; "" when it is not installed. KV_CHROMIUM names another.
std::string chromiumPath();

struct BrowserRun {
  int status = -1;  // exit status; -1: it was still running when the time allowed was up (then killed)
  std::string out;  // standard output: the page, with --dump-dom
  std::string log;  // standard error: the browser's log
};

// Opens the file `page` in the browser with `options` added (--dump-dom,
// --screenshot=FILE, --print-to-pdf=FILE, --window-size=W,H ...), with a
// fresh profile under `scratch`, and waits for it to end, at most
// `timeoutMs` (a guard against a browser that hangs, not a measure).
BrowserRun openInChromium(const std::string& chromium, const std::string& page, const std::vector<std::string>& options,
                          const std::string& scratch, int timeoutMs = 60000);

// The texts of the page's console messages in a browser's log, in order.
std::vector<std::string> consoleTexts(const std::string& log);

// `html` with a probe. Before any script of the page's own, it starts
// keeping every error: a script's, a rejected promise's, console.error's,
// and a resource that could not be loaded. Then `probe` runs, a script
// placed after everything in the page. It reports with kvReport(line); its
// last call is kvFinish(), which reports "error TEXT" for each error kept,
// "fetched URL" for each resource the page asked for (none, for a page that
// holds everything), and "done".
std::string withProbe(const std::string& html, const std::string& probe);

// The lines a probe reported, from a page as --dump-dom prints it.
std::vector<std::string> probeLines(const std::string& dom);

}  // namespace kv::test
