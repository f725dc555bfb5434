// Throughput of the JSON reader: validation against simdjson (DOM parse) and cJSON (parse and
// delete) on the same texts, path queries, string copies and escaping.
#include <benchmark/benchmark.h>
#include <cjson/cJSON.h>
#include <simdjson.h>

#include <cstdio>
#include <string>

#include "json/json_navigate.h"
#include "json/json_validate.h"
#include "json/json_value.h"

namespace {

// A typical request: a connection profile as a client sends it (about 300 bytes).
const std::string kRequest =
    "{\"ifname\":\"wlan0\",\"autoconnect\":true,\"ip4\":{\"method\":\"manual\","
    "\"addresses\":[\"192.0.2.17/24\",\"198.51.100.4/24\"],\"gateway\":\"192.0.2.1\","
    "\"dns\":[\"203.0.113.53\",\"203.0.113.54\"]},\"ip6\":{\"method\":\"auto\"},"
    "\"wifi\":{\"ssid\":\"Lab \\u00e9tage 3\",\"mode\":\"infrastructure\",\"keymgmt\":"
    "\"wpa-psk\",\"psk\":\"s3cr\\\"et-pass\",\"hidden\":false,\"band\":\"a\",\"channel\":36}}";

// Many interface and access-point objects, as the service's own listings look.
std::string make_document(size_t target) {
    std::string doc = "{\"interfaces\":[";
    char buf[1024];
    for (int i = 0; doc.size() < target; ++i) {
        if (i > 0) doc += ',';
        std::snprintf(buf, sizeof buf,
                      "{\"name\":\"wlan%d\",\"type\":\"wifi\",\"state\":100,\"mtu\":1500,"
                      "\"hwaddr\":\"02:00:5e:%02x:%02x:01\",\"managed\":true,\"carrier\":%s,"
                      "\"ip4\":{\"method\":\"auto\",\"addresses\":[\"192.0.2.%d/24\"],"
                      "\"gateway\":\"192.0.2.1\",\"dns\":[\"198.51.100.53\",\"198.51.100.54\"]},"
                      "\"ip6\":{\"method\":\"auto\",\"addresses\":[\"2001:db8::%x/64\"]},"
                      "\"stats\":{\"rx\":%d,\"tx\":%d,\"ratio\":%d.%03de-2},\"accesspoints\":[",
                      i, i & 0xff, (i >> 8) & 0xff, i % 2 ? "true" : "false", i % 250 + 2, i,
                      i * 7919, i * 104729, i % 100, i % 1000);
        doc += buf;
        for (int a = 0; a < 4; ++a) {
            std::snprintf(buf, sizeof buf,
                          "%s{\"ssid\":\"Office n\\u00b0%d \\\"%c\\\"\",\"bssid\":\"02:11:22:%02x:"
                          "%02x:%02x\",\"strength\":%d,\"frequency\":%d,\"security\":[\"wpa2\","
                          "\"psk\"],\"lastseen\":%d,\"rate\":%d.5}",
                          a ? "," : "", a, 'A' + a, a, i & 0xff, (i >> 8) & 0xff, 30 + (i + a) % 70,
                          a % 2 ? 5180 : 2412, 1000000 + i * 13, 54 + a);
            doc += buf;
        }
        doc += "]}";
    }
    doc += "]}";
    return doc;
}

const std::string& document() {
    static const std::string doc = make_document(1 << 20);
    return doc;
}

const std::string& input(int which) {
    return which == 0 ? document() : kRequest;
}

void BM_ValidateOurs(benchmark::State& state) {
    const std::string& text = input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        JsonValidity r = json_validn(text.data(), static_cast<int64_t>(text.size()));
        benchmark::DoNotOptimize(r);
        if (!r.valid) state.SkipWithError("input not valid");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ValidateSimdjson(benchmark::State& state) {
    const std::string& text = input(static_cast<int>(state.range(0)));
    const simdjson::padded_string padded(text);
    simdjson::dom::parser parser;
    for (auto _ : state) {
        auto err = parser.parse(padded).error();
        benchmark::DoNotOptimize(err);
        if (err) state.SkipWithError("simdjson rejected the input");
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ValidateCJson(benchmark::State& state) {
    const std::string& text = input(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        cJSON* root = cJSON_ParseWithLength(text.data(), text.size());
        if (root == nullptr) state.SkipWithError("cJSON rejected the input");
        cJSON_Delete(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_PathQuery(benchmark::State& state) {
    for (auto _ : state) {
        JsonValue v = json_getn(kRequest.data(), kRequest.size(), "ip4.addresses.1");
        benchmark::DoNotOptimize(v);
    }
}

void BM_PathQueryLastMember(benchmark::State& state) {
    for (auto _ : state) {
        JsonValue v = json_getn(kRequest.data(), kRequest.size(), "wifi.channel");
        benchmark::DoNotOptimize(v);
    }
}

// A 1 KB string, plain or with an escape every 16 bytes.
std::string make_text(bool escapes) {
    std::string s;
    while (s.size() < 1024) s += escapes ? "abcdefgh\"ijk\\m\n" : "abcdefghijklmnop";
    return s.substr(0, 1024);
}

void BM_StringCopy(benchmark::State& state) {
    const std::string source = make_text(state.range(0) != 0);
    static char escaped[4096];
    const size_t n = json_escapen(source.data(), source.size(), escaped, sizeof escaped);
    const JsonValue v = json_parsen(escaped, n);
    static char out[2048];
    for (auto _ : state) {
        size_t copied = json_string_copy(v, out, sizeof out);
        benchmark::DoNotOptimize(copied);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}

void BM_Escape(benchmark::State& state) {
    const std::string source = make_text(state.range(0) != 0);
    static char out[4096];
    for (auto _ : state) {
        size_t n = json_escapen(source.data(), source.size(), out, sizeof out);
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * source.size()));
}

// Argument 0: the 1 MB document; 1: the 300-byte request.
BENCHMARK(BM_ValidateOurs)->Arg(0)->Arg(1);
BENCHMARK(BM_ValidateSimdjson)->Arg(0)->Arg(1);
BENCHMARK(BM_ValidateCJson)->Arg(0)->Arg(1);
BENCHMARK(BM_PathQuery);
BENCHMARK(BM_PathQueryLastMember);
// Argument 0: no escapes; 1: escapes.
BENCHMARK(BM_StringCopy)->Arg(0)->Arg(1);
BENCHMARK(BM_Escape)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
