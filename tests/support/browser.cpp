#include "support/browser.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include "support/child_program.h"

namespace kv::test {

namespace {

// Before the page's scripts: every error kept, and kvReport.
const char* kProbeHead = R"js(<script>
(function () {
  var errors = [];
  window.addEventListener("error", function (e) {
    var t = e.target;
    errors.push(e.message || "could not load " + (t && (t.src || t.href || t.tagName)));
  }, true);
  window.addEventListener("unhandledrejection", function (e) { errors.push("rejected: " + e.reason); });
  var consoleError = console.error;
  console.error = function () {
    errors.push("console: " + Array.prototype.join.call(arguments, " "));
    return consoleError.apply(console, arguments);
  };
  window.kvReport = function (line) {
    var out = document.getElementById("kv-probe");
    if (!out) {
      out = document.createElement("pre");
      out.id = "kv-probe";
      document.body.appendChild(out);
    }
    out.textContent += line + "\n";
    console.log("kv-probe " + line);
  };
  window.kvFinish = function () {
    errors.forEach(function (m) { kvReport("error " + m); });
    performance.getEntriesByType("resource").forEach(function (r) { kvReport("fetched " + r.name); });
    kvReport("done");
  };
})();
</script>)js";

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string fileUrl(const std::string& path) {
  std::string url = "file://";
  for (const char c : path) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || std::string("/-._~").find(c) != std::string::npos) {
      url += c;
    } else {
      char esc[4];
      std::snprintf(esc, sizeof esc, "%%%02X", u);
      url += esc;
    }
  }
  return url;
}

}  // namespace

std::string chromiumPath() {
  const char* named = std::getenv("KV_CHROMIUM");
  const std::string path = named != nullptr && *named != '\0' ? named : "/usr/bin/chromium";
  return ::access(path.c_str(), X_OK) == 0 ? path : "";
}

BrowserRun openInChromium(const std::string& chromium, const std::string& page, const std::vector<std::string>& options,
                          const std::string& scratch, int timeoutMs) {
  static int runs = 0;
  const std::string run = scratch + "/chromium-" + std::to_string(++runs);
  BrowserRun result;
  std::vector<std::string> args = {
      chromium,
      "--headless=new",
      "--user-data-dir=" + run + "-profile",
      // No network: no name resolves, and every request would go through a
      // proxy on a closed port.
      "--host-resolver-rules=MAP * ~NOTFOUND",
      "--proxy-server=http://127.0.0.1:9",
      "--no-first-run",
      "--no-default-browser-check",
      "--disable-background-networking",
      "--disable-component-update",
      "--disable-sync",
      "--disable-extensions",
      "--hide-scrollbars",
      "--enable-logging=stderr",
      "--v=0",
  };
  // Chromium will not run its sandbox as root.
  if (::geteuid() == 0) args.push_back("--no-sandbox");
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(fileUrl(page));

  const std::string outPath = run + "-out", logPath = run + "-log";
  const int out = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (out < 0 || log < 0) {
    result.log = "cannot make " + outPath + " or " + logPath;
    return result;
  }
  {
    ChildOptions o;
    o.groupLeader = true;
    o.stdoutTo = out;
    o.stderrTo = log;
    ChildProgram browser(args, o);
    result.status = browser.wait(timeoutMs);
    // A browser that hangs goes, and its helpers with it.
    if (result.status < 0 && browser.pid() > 0) ::kill(-browser.pid(), SIGKILL);
  }
  ::close(out);
  ::close(log);
  result.out = readFile(outPath);
  result.log = readFile(logPath);
  return result;
}

std::vector<std::string> consoleTexts(const std::string& log) {
  // [pid:tid:time:INFO:CONSOLE:LINE] "TEXT", source: URL (LINE)
  std::vector<std::string> texts;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t tag = line.find(":CONSOLE");
    if (tag == std::string::npos) continue;
    const std::size_t from = line.find("] \"", tag);
    const std::size_t to = line.rfind("\", source: ");
    if (from == std::string::npos || to == std::string::npos || to < from + 3) continue;
    texts.push_back(line.substr(from + 3, to - from - 3));
  }
  return texts;
}

std::string withProbe(const std::string& html, const std::string& probe) {
  std::string out = html;
  // After the character set's declaration, which must come early.
  std::size_t head = out.find("<head>");
  head = head == std::string::npos ? 0 : head + 6;
  const std::size_t charset = out.find("<meta charset", head);
  if (charset != std::string::npos) head = out.find('>', charset) + 1;
  out.insert(head, kProbeHead);
  const std::string script = "<script>\n" + probe + "\n</script>\n";
  const std::size_t end = out.rfind("</body>");
  out.insert(end == std::string::npos ? out.size() : end, script);
  return out;
}

std::vector<std::string> probeLines(const std::string& dom) {
  std::vector<std::string> lines;
  const std::string open = "<pre id=\"kv-probe\">";
  const std::size_t from = dom.find(open);
  if (from == std::string::npos) return lines;
  const std::size_t to = dom.find("</pre>", from);
  std::string text = dom.substr(from + open.size(), to == std::string::npos ? std::string::npos : to - from - open.size());
  // The text as the page holds it: the markup's escapes undone.
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool replaced = false;
    for (const auto& [escape, c] : {std::pair<const char*, char>{"&lt;", '<'}, {"&gt;", '>'}, {"&amp;", '&'},
                                    {"&quot;", '"'}}) {
      if (text.compare(i, std::strlen(escape), escape) == 0) {
        plain += c;
        i += std::strlen(escape) - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) plain += text[i];
  }
  std::istringstream in(plain);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

}  // namespace kv::test
