// How fast the zone page is in a real browser at 1,000, 10,000 and 100,000
// zones: this process serves the directory's documents on loopback, with a
// timing page beside them that loads "/" in a frame (same origin, so it can
// read the frame's clock and document) and prints
//
//   zones  list_ms  rows_ms  first_rows_ms  filter_ms  rows  (each keystroke's ms)
//
// list_ms: the frame's request of /zones.json to its last byte; rows_ms: from
// that last byte to the page's "first-rows" mark (its first rows in the
// document, the parse, keys and sort included); first_rows_ms: from the
// frame's start to that mark; filter_ms: one keystroke's input event to the
// rows re-made and laid out, the slowest of a few keystrokes.
//
//   page_times [chromium path] [zone counts...]
// Needs headless Chromium (/usr/bin/chromium by default).

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench_server.h"
#include "quiet_stdout.h"
#include "service/directory_server.h"
#include "service/web_front.h"
#include "support/temp_directory.h"

namespace kelvaro {
namespace {

constexpr int64_t kUnixNow = 1800000000;
constexpr auto kBrowserLimit = std::chrono::seconds(180);

// The keystrokes are timed synchronously inside the frame's load event, so
// the results are in the document before Chromium dumps it.
constexpr const char* kTimingPage = R"page(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>page times</title></head><body>
<iframe id="frame" src="/" style="width:1200px;height:900px"></iframe>
<pre id="out">no result</pre>
<script>
var frame = document.getElementById("frame");
frame.addEventListener("load", function () {
  var w = frame.contentWindow, d = frame.contentDocument;
  var list = w.performance.getEntriesByType("resource").filter(function (e) {
    return /zones\.json/.test(e.name); })[0];
  var loaded = w.performance.now();
  var mark = w.performance.getEntriesByName("first-rows")[0];
  var rowsAt = mark ? mark.startTime : loaded;
  var rows = d.querySelectorAll("#zones tbody tr").length;
  var canvas = d.querySelector("#chart canvas") ? 1 : 0;
  var input = d.getElementById("filter");
  var slowest = 0, each = [];
  ["z", "zo", "zon", "zone", "zone 9", "zone 99", "zone 9", ""].forEach(function (text) {
    var start = w.performance.now();
    input.value = text;
    input.dispatchEvent(new w.Event("input"));
    void d.body.offsetHeight;  // the layout of the new rows, not just the script
    slowest = Math.max(slowest, w.performance.now() - start);
    each.push((w.performance.now() - start).toFixed(1));
  });
  document.getElementById("out").textContent = "RESULT " +
    (list ? (list.responseEnd - list.requestStart).toFixed(0) : "-1") + " " +
    (list ? (rowsAt - list.responseEnd).toFixed(0) : "-1") + " " +
    rowsAt.toFixed(0) + " " + slowest.toFixed(1) + " " + rows + " (" + each.join(" ") + ") canvas=" + canvas;
});
</script></body></html>
)page";

std::string runBrowser(const char* chromium, uint16_t port, WebFront& web, DirectoryServer& server) {
    testing_support::TempDirectory profile;
    const std::string outPath = profile.path() + "/dom.html";
    const std::vector<std::string> arguments = {
        chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
        "--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--disable-extensions", "--no-proxy-server", "--user-data-dir=" + profile.path() + "/p",
        "--dump-dom", "http://127.0.0.1:" + std::to_string(port) + "/page-times.html"};
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = open("/dev/null", O_WRONLY);
        if (out < 0 || null < 0) _exit(126);
        dup2(out, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char*> argv;
        for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
        argv.push_back(nullptr);
        execv(chromium, argv.data());
        _exit(127);
    }
    if (child < 0) return {};
    const auto deadline = std::chrono::steady_clock::now() + kBrowserLimit;
    int status = 0;
    while (waitpid(child, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return {};
        }
        web.iterate(server, kUnixNow);
        usleep(200);
    }
    std::string dom;
    if (FILE* file = std::fopen(outPath.c_str(), "r")) {
        char buffer[65536];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) dom.append(buffer, got);
        std::fclose(file);
    }
    const size_t at = dom.find("RESULT ");
    return at == std::string::npos ? std::string() : dom.substr(at + 7, dom.find('<', at) - at - 7);
}

int measure(const char* chromium, int64_t zoneCount) {
    BenchServer bench;
    if (!bench.server) return 1;
    {
        QuietStdout quiet;
        for (int64_t i = 0; i < zoneCount; ++i) {
            const auto port = static_cast<uint16_t>(1000 + i % 50000);
            const auto address = static_cast<uint32_t>(0x0100000A + (i / 50000 << 24));
            // About 180 bytes of JSON a zone, as a busy directory's list.
            bench.server->zones().addOrUpdate(address, port, static_cast<uint16_t>(i % 300), 0, 0,
                                              "Zone " + std::to_string(i),
                                              "A zone of the benchmark, number " + std::to_string(i));
        }
    }
    WebFront web(bench.server->settings());
    std::string reason;
    if (!web.openOnAnyPort(reason)) {
        std::fprintf(stderr, "%s\n", reason.c_str());
        return 1;
    }
    web.publishExtra("/page-times.html", kTimingPage, "text/html; charset=utf-8");
    // A day of minutes for the chart, in the shape /history.json has.
    std::string history = "{\"range\":\"24h\",\"points\":[";
    for (int minute = 0; minute < 1440; ++minute)
        history += (minute ? ",[" : "[") + std::to_string(kUnixNow - 86400 + minute * 60) + "," +
                   std::to_string(zoneCount) + "," + std::to_string(zoneCount * 3 + minute) + "]";
    history += "]}";
    web.publishExtra("/history.json", history, "application/json");
    web.iterate(*bench.server, kUnixNow);
    const std::string result = runBrowser(chromium, web.localPort(), web, *bench.server);
    if (result.empty()) {
        std::fprintf(stderr, "%lld zones: no result from the browser\n", static_cast<long long>(zoneCount));
        return 1;
    }
    std::printf("%7lld  %s\n", static_cast<long long>(zoneCount), result.c_str());
    std::fflush(stdout);
    return 0;
}

}  // namespace
}  // namespace kelvaro

int main(int argc, char** argv) {
    const char* chromium = argc > 1 ? argv[1] : "/usr/bin/chromium";
    std::vector<int64_t> counts;
    for (int i = 2; i < argc; ++i) counts.push_back(std::atoll(argv[i]));
    if (counts.empty()) counts = {1000, 10000, 100000};
    std::printf("  zones  list_ms rows_ms first_rows_ms filter_ms rows (each keystroke)\n");
    int failures = 0;
    for (int64_t count : counts) failures += kelvaro::measure(chromium, count);
    return failures == 0 ? 0 : 1;
}
