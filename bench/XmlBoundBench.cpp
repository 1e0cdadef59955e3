// The bound that reads a text before TinyXML parses it (measureXmlText) beside two references on
// the same text: a pass at memory speed (memchr for a byte the text does not hold) and TinyXML's
// own parse, as the manager runs it. Texts: the example configuration, and a configuration of
// 40 MiB of ordinary settings (some 590,000 props) as a large save sends it.
//
// Compare medians of alternating runs, for instance:
//   qm_xml_bound_bench --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
//                      --benchmark_report_aggregates_only=true
// and divide the bound's median by the parse's (the share of the parse the bound adds) and by
// memchr's (how far the bound is from reading its text once at memory speed).
#include "ValueElementEncoderDecoder.h"
#include "quillmark/SafeXmlParse.h"

#include <benchmark/benchmark.h>
#include <tinyxml.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string exampleConfiguration() {
    std::ifstream in(QM_SOURCE_DIR "/examples/quillmark_agentd.xml", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Settings "Setting0" = "value 0" and on, their values in Base64, as a client saves them.
std::string largeConfiguration() {
    std::string text =
        "<?xml version=\"1.0\"?>\n<quillmark_agentd_config>\n\t<GeneralProperties>\n";
    for (std::size_t n = 0; text.size() < (40u << 20); ++n) {
        text += "\t\t<prop><key>Setting" + std::to_string(n) + "</key><value>" +
                quillmark::ValueElementEncoderDecoder::base64Encode("value " + std::to_string(n)) +
                "</value></prop>\n";
    }
    return text + "\t</GeneralProperties>\n</quillmark_agentd_config>\n";
}

// The text of argument 0 (the example) or 1 (the large configuration), each made on first use.
const std::string& textOf(const benchmark::State& state) {
    if (state.range(0) == 0) {
        static const std::string example = exampleConfiguration();
        return example;
    }
    static const std::string large = largeConfiguration();
    return large;
}

void countBytes(benchmark::State& state, const std::string& text) {
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(text.size()));
}

void BM_Bound(benchmark::State& state) {
    const std::string& text = textOf(state);
    for (auto _ : state) {
        const quillmark::XmlTextShape shape = quillmark::measureXmlText(text.data(), text.size());
        benchmark::DoNotOptimize(shape);
    }
    countBytes(state, text);
}

void BM_Memchr(benchmark::State& state) {
    const std::string& text = textOf(state);
    for (auto _ : state) {
        const void* found = std::memchr(text.data(), '\x01', text.size());
        benchmark::DoNotOptimize(found);
    }
    countBytes(state, text);
}

void BM_TinyXmlParse(benchmark::State& state) {
    const std::string& text = textOf(state);
    for (auto _ : state) {
        TiXmlDocument document;
        document.SetTabSize(0);
        document.Parse(text.c_str());
        benchmark::DoNotOptimize(document.Error());
    }
    countBytes(state, text);
}

BENCHMARK(BM_Bound)->ArgName("large")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Memchr)->ArgName("large")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TinyXmlParse)->ArgName("large")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
