// Writes a typical interface-details reply (about 600 bytes of compact JSON) into a wrapped
// 8 KiB encoder, and the same document with RapidJSON's Writer<StringBuffer>, then prints how
// the two compare.
#include <benchmark/benchmark.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "codec/encoder.h"
#include "codec/json_writer.h"

namespace {

struct IpSettings {
    const char* gateway;
    std::vector<const char*> addresses;
    std::vector<const char*> nameServers;
};

struct Details {
    const char* name = "eth0";
    const char* type = "ethernet";
    const char* yebType = "external";
    int state = 100;
    const char* hwAddress = "52:54:00:12:34:56";
    int mtu = 1500;
    bool carrier = true;
    int speed = 1000;
    const char* duplex = "full";
    bool configured = true;
    IpSettings ip4{"192.0.2.1",
                   {"192.0.2.10/24", "198.51.100.10/24", "203.0.113.10/24"},
                   {"192.0.2.53", "198.51.100.53", "203.0.113.53"}};
    IpSettings ip6{"2001:db8::1",
                   {"2001:db8::10/64", "2001:db8:0:1::10/64", "2001:db8:0:2::10/64",
                    "fe80::5054:ff:fe12:3456/64"},
                   {"2001:db8::53", "2001:db8:0:1::53", "2001:db8:0:2::53"}};
};

const Details kDetails;

void writeIp(Encoder* enc, const char* key, const IpSettings& ip) {
    encodeJsonName(enc, key);
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "gateway", ip.gateway);
    encodeJsonName(enc, "addressprefixlist");
    encodeJsonListStart(enc);
    for (const char* address : ip.addresses) encodeJsonStrValue(enc, address);
    encodeJsonListEnd(enc);
    encodeJsonName(enc, "dnslist");
    encodeJsonListStart(enc);
    for (const char* server : ip.nameServers) encodeJsonStrValue(enc, server);
    encodeJsonListEnd(enc);
    encodeJsonObjectEnd(enc);
}

int writeDetails(Encoder* enc, const Details& d) {
    encodeJsonStart(enc);
    encodeJsonObjectStart(enc);
    encodeJsonNameStrValue(enc, "name", d.name);
    encodeJsonNameStrValue(enc, "type", d.type);
    encodeJsonNameStrValue(enc, "yebtype", d.yebType);
    encodeJsonNameIntValue(enc, "nmdevicestate", d.state);
    encodeJsonNameStrValue(enc, "hwaddress", d.hwAddress);
    encodeJsonNameIntValue(enc, "mtu", d.mtu);
    encodeJsonName(enc, "ethernet");
    encodeJsonObjectStart(enc);
    encodeJsonNameBoolValue(enc, "carrier", d.carrier);
    encodeJsonNameIntValue(enc, "speed", d.speed);
    encodeJsonNameStrValue(enc, "duplex", d.duplex);
    encodeJsonObjectEnd(enc);
    encodeJsonNameBoolValue(enc, "configured", d.configured);
    writeIp(enc, "ip4settings", d.ip4);
    writeIp(enc, "ip6settings", d.ip6);
    encodeJsonObjectEnd(enc);
    return encodeJsonEnd(enc);
}

using RapidWriter = rapidjson::Writer<rapidjson::StringBuffer>;

void writeIp(RapidWriter& w, const char* key, const IpSettings& ip) {
    w.Key(key);
    w.StartObject();
    w.Key("gateway");
    w.String(ip.gateway);
    w.Key("addressprefixlist");
    w.StartArray();
    for (const char* address : ip.addresses) w.String(address);
    w.EndArray();
    w.Key("dnslist");
    w.StartArray();
    for (const char* server : ip.nameServers) w.String(server);
    w.EndArray();
    w.EndObject();
}

void writeDetails(RapidWriter& w, const Details& d) {
    w.StartObject();
    w.Key("name");
    w.String(d.name);
    w.Key("type");
    w.String(d.type);
    w.Key("yebtype");
    w.String(d.yebType);
    w.Key("nmdevicestate");
    w.Int(d.state);
    w.Key("hwaddress");
    w.String(d.hwAddress);
    w.Key("mtu");
    w.Int(d.mtu);
    w.Key("ethernet");
    w.StartObject();
    w.Key("carrier");
    w.Bool(d.carrier);
    w.Key("speed");
    w.Int(d.speed);
    w.Key("duplex");
    w.String(d.duplex);
    w.EndObject();
    w.Key("configured");
    w.Bool(d.configured);
    writeIp(w, "ip4settings", d.ip4);
    writeIp(w, "ip6settings", d.ip6);
    w.EndObject();
}

unsigned char replyRegion[8192];

void BM_EncoderJsonReply(benchmark::State& state) {
    Encoder enc;
    encoderWrap(&enc, replyRegion, sizeof replyRegion);
    for (auto _ : state) {
        encoderReset(&enc);
        benchmark::DoNotOptimize(writeDetails(&enc, kDetails));
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * enc.size);
}
BENCHMARK(BM_EncoderJsonReply);

void BM_RapidJsonReply(benchmark::State& state) {
    rapidjson::StringBuffer buffer(nullptr, sizeof replyRegion);
    RapidWriter writer(buffer);
    for (auto _ : state) {
        buffer.Clear();
        writer.Reset(buffer);
        writeDetails(writer, kDetails);
        benchmark::DoNotOptimize(buffer.GetString());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * (buffer.GetSize() + 1));
}
BENCHMARK(BM_RapidJsonReply);

// Console output as usual, keeping each benchmark's CPU time per iteration for the ratio: the
// median when repetitions are asked for, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    // Colours only on a terminal, so the figures can be piped into a report.
    RatioReporter() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.error_occurred) continue;
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            if (median || run.run_type == Run::RT_Iteration) {
                nanoseconds_[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double nanoseconds(const std::string& name) const {
        auto found = nanoseconds_.find(name);
        return found == nanoseconds_.end() ? 0 : found->second;
    }

  private:
    std::map<std::string, double> nanoseconds_;
};

// Both writers must produce the same text, or the comparison means nothing.
bool sameOutput() {
    Encoder enc;
    encoderWrap(&enc, replyRegion, sizeof replyRegion);
    writeDetails(&enc, kDetails);
    rapidjson::StringBuffer buffer;
    RapidWriter writer(buffer);
    writeDetails(writer, kDetails);
    std::printf("reply: %d bytes with its NUL\n", encoderSize(&enc));
    return encoderSize(&enc) == static_cast<int>(buffer.GetSize()) + 1 &&
           std::memcmp(enc.data, buffer.GetString(), buffer.GetSize() + 1) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!sameOutput()) {
        std::fprintf(stderr, "the two writers disagree on the reply text\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    double ours = reporter.nanoseconds("BM_EncoderJsonReply");
    double rapid = reporter.nanoseconds("BM_RapidJsonReply");
    if (ours > 0 && rapid > 0) {
        std::printf("encoder %.1f ns, rapidjson %.1f ns per reply: encoder/rapidjson = %.2f\n",
                    ours, rapid, ours / rapid);
    }
    return 0;
}
