// The card model keeps its own copy of the wire format; it must agree with
// the program's driver/protocol.h. The Wine test card must answer exactly
// like the simulated machine's card driver, or the end-to-end scenarios
// would pass on one machine and fail on the other. Each case plays the same
// device calls on both and compares the call results, every byte of the
// output buffers and what each card says it received.
#include <gtest/gtest.h>

#include "driver/protocol.h"
#include "simwin/simctl.h"
#include "simwin/simctl_devices.h"

extern "C" {
#include "testdriver/card_model.h"
}

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

TEST(CardModel, WireFormatAgreesWithTheProgram) {
    EXPECT_EQ(CARD_CONTROL_CODE, kDriverControlCode);
    EXPECT_EQ(CARD_INPUT_VALUE, kDriverInputValue);
    EXPECT_EQ(CARD_INPUT_SIZE, kDriverInputSize);
    EXPECT_EQ(CARD_CONTEXT_OFFSET, static_cast<unsigned>(kContextOffset));
    EXPECT_EQ(CARD_STATUS_OFFSET, static_cast<unsigned>(kStatusOffset));
    EXPECT_EQ(CARD_COMMAND_OFFSET, static_cast<unsigned>(kCommandOffset));
    EXPECT_EQ(CARD_RECORD_OFFSET, static_cast<unsigned>(kRecordOffset));
    EXPECT_EQ(CARD_RECORD_TYPE_OFFSET, static_cast<unsigned>(kRecordTypeOffset));
    EXPECT_EQ(CARD_RECORD_DATA_OFFSET, static_cast<unsigned>(kRecordDataOffset));
    EXPECT_EQ(CARD_BLOCK_SIZE, static_cast<unsigned>(kRequestBlockSize));
    EXPECT_EQ(CARD_MAX_RECORD_WORDS, static_cast<unsigned>(kMaxRecordWords));
    EXPECT_EQ(CARD_MAX_RECORD_LENGTH, static_cast<unsigned>(kMaxRecordLength));
    EXPECT_EQ(CARD_IDENTITY_LENGTH, kIdentityRecordLength);
    EXPECT_EQ(CARD_COMPATIBILITY_LENGTH, kCompatibilityRecordLength);
    EXPECT_EQ(CARD_KEY_TEXT_LENGTH, kKeyTextRecordLength);
    EXPECT_EQ(CARD_COMMAND_PROBE, kCommandProbe);
    EXPECT_EQ(CARD_COMMAND_CLOSE, kCommandClose);
    EXPECT_EQ(CARD_COMMAND_CONTROL, kCommandControl);
    EXPECT_EQ(CARD_COMMAND_GET, kCommandGetRecord);
    EXPECT_EQ(CARD_COMMAND_PUT, kCommandPutRecord);
    EXPECT_EQ(CARD_IDENTITY_TYPE, kIdentityRecordType);
    EXPECT_EQ(CARD_COMPATIBILITY_TYPE, kCompatibilityRecordType);
    EXPECT_EQ(CARD_KEY_TEXT_TYPE, kKeyTextRecordType);
    EXPECT_EQ(CARD_STATUS_PARTIAL, static_cast<unsigned>(kStatusPartial));
    EXPECT_EQ(CARD_STATUS_BUSY, static_cast<unsigned>(kStatusBusy));
}

// One device call as the test makes it. The context of the last good probe
// goes into every later request, as the program carries it, unless
// `context` overrides it.
struct Step {
    uint16_t command;
    uint16_t length = 0;
    uint16_t type = 0;
    std::vector<uint16_t> data = {};
    uint32_t size = CARD_BLOCK_SIZE;
    std::optional<uint32_t> context = {};
    DWORD code = CARD_CONTROL_CODE;
    bool hasInput = true;
    DWORD input = CARD_INPUT_VALUE;
};

Step Probe() {
    return Step{CARD_COMMAND_PROBE};
}
Step Get(uint16_t type, uint16_t length) {
    return Step{CARD_COMMAND_GET, length, type};
}
Step Put(uint16_t type, std::vector<uint16_t> data) {
    return Step{CARD_COMMAND_PUT, static_cast<uint16_t>(data.size() + 1), type, data};
}
Step Control(uint16_t code) {
    return Step{CARD_COMMAND_CONTROL, 4097, code};
}
Step Close() {
    return Step{CARD_COMMAND_CLOSE};
}
// The step with one field changed.
template <typename T, typename V> Step With(Step step, T Step::*field, V value) {
    step.*field = static_cast<T>(value);
    return step;
}

// Both cards play the steps on their own block; the blocks start equal and
// must stay equal.
class Both {
  public:
    explicit Both(const SimCardDriver& settings) : card_(settings) {
        SimReset();
        SimSetWindowsFamily(8);
        SimAddCardDriver("PcCard0-0", settings);
        SimDefineDosName("PcCard0-0", "\\Device\\PcCard0-0");
        handle_ = CreateFileA("\\\\.\\PcCard0-0", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
        simBlock_.assign(CARD_BLOCK_SIZE, 0xA5);
        cardBlock_ = simBlock_;
    }

    void Play(const Step& step, const std::string& what) {
        SCOPED_TRACE(what);
        ASSERT_NE(handle_, INVALID_HANDLE_VALUE);
        Prepare(simBlock_, step);
        Prepare(cardBlock_, step);
        const DWORD input = step.input;
        DWORD returned = 0;
        SimSetLastError(0);
        BOOL simOk =
            DeviceIoControl(handle_, step.code, step.hasInput ? (LPVOID)&input : nullptr,
                            step.hasInput ? 4 : 0, simBlock_.data(), step.size, &returned, nullptr);
        DWORD simError = simOk ? 0 : GetLastError();
        card_received r;
        uint32_t cardError =
            card_call(&card_, &session_, step.code,
                      step.hasInput ? reinterpret_cast<const uint8_t*>(&input) : nullptr,
                      step.hasInput ? 4 : 0, cardBlock_.data(), step.size, &r);
        if (cardError == 0) {
            Note(r);
        }
        EXPECT_EQ(simOk != 0, cardError == 0);
        EXPECT_EQ(simError, cardError);
        EXPECT_EQ(simBlock_, cardBlock_);
        if (simOk && step.command == CARD_COMMAND_PROBE &&
            card_get16(simBlock_.data() + CARD_STATUS_OFFSET) == 0) {
            context_ = card_get32(simBlock_.data() + CARD_CONTEXT_OFFSET);
        }
    }

    void PlayAll(const std::vector<Step>& steps) {
        for (size_t i = 0; i < steps.size(); ++i) {
            Play(steps[i], "step " + std::to_string(i + 1));
        }
        ExpectSameLog();
    }

    void ExpectSameLog() {
        SimCardDriverLog sim = SimCardDriverReceived("PcCard0-0");
        EXPECT_EQ(sim.probes, log_.probes);
        EXPECT_EQ(sim.keyTexts, log_.keyTexts);
        EXPECT_EQ(sim.puts, log_.puts);
        EXPECT_EQ(sim.controls, log_.controls);
        EXPECT_EQ(sim.closes, log_.closes);
        EXPECT_EQ(SimCardDriverSettings("PcCard0-0")->busy, card_.busy);
    }

    const SimCardDriverLog& log() const { return log_; }

  private:
    void Prepare(std::vector<uint8_t>& block, const Step& step) const {
        card_put32(block.data() + CARD_CONTEXT_OFFSET, step.context.value_or(context_));
        card_put16(block.data() + CARD_STATUS_OFFSET, step.command == CARD_COMMAND_CLOSE ? 69 : 0);
        card_put16(block.data() + CARD_COMMAND_OFFSET, step.command);
        if (step.command == CARD_COMMAND_PROBE) {
            return;
        }
        card_put16(block.data() + CARD_RECORD_OFFSET, step.length);
        card_put16(block.data() + CARD_RECORD_TYPE_OFFSET, step.type);
        for (size_t i = 0; i < step.data.size(); ++i) {
            card_put16(block.data() + CARD_RECORD_DATA_OFFSET + 2 * i, step.data[i]);
        }
    }

    // What the Wine card model received, recorded here on its own, apart
    // from the simulated machine's decoding in simwin/devices.cpp, on
    // purpose: the independent record that ExpectSameLog holds the
    // simulated machine's log against. A key text is the bytes after the
    // length and type words, as the Wine card driver records it.
    void Note(const card_received& r) {
        switch (r.event) {
        case CARD_EVENT_PROBE:
            ++log_.probes;
            break;
        case CARD_EVENT_CLOSE:
            ++log_.closes;
            break;
        case CARD_EVENT_CONTROL:
            log_.controls.push_back(r.sub_code);
            break;
        case CARD_EVENT_KEY_TEXT:
            log_.keyTexts.emplace_back(reinterpret_cast<const char*>(r.words) + 4,
                                       2 * (r.word_count - 2));
            break;
        case CARD_EVENT_PUT:
            log_.puts.emplace_back();
            for (uint32_t i = 0; i < r.word_count; ++i) {
                log_.puts.back().push_back(card_get16(r.words + 2 * i));
            }
            break;
        case CARD_EVENT_GET:
        case CARD_EVENT_NONE:
            break;
        }
    }

    card_settings card_;
    card_session session_ = {0, 0, 0};
    uint32_t context_ = 0;
    HANDLE handle_;
    std::vector<uint8_t> simBlock_;
    std::vector<uint8_t> cardBlock_;
    SimCardDriverLog log_;
};

std::vector<uint16_t> KeyTextWords(const std::string& text) {
    std::vector<uint16_t> words;
    for (size_t i = 0; i < text.size(); i += 2) {
        words.push_back(static_cast<uint16_t>(static_cast<unsigned char>(text[i]) |
                                              (static_cast<unsigned char>(text[i + 1]) << 8)));
    }
    return words;
}

// A card set up from the defaults, the calls both cards take, and what the
// test's own record of them must show besides what both cards agree on.
struct Case {
    const char* what;
    std::function<void(SimCardDriver&)> set;
    std::vector<Step> steps;
    std::function<void(const SimCardDriverLog&)> check = [](const SimCardDriverLog&) {};
};

TEST(CardModel, BothCardsAnswerAlike) {
    std::string text(102, 'q');
    text[0] = 'A';
    text[101] = 'z';
    std::vector<WORD> full(CARD_MAX_RECORD_WORDS, 0x5A5A);
    full[0] = 4097;
    const Case cases[] = {
        {"a whole push after busy probes",
         [](SimCardDriver& s) {
             s.busy = 3;
             s.context = 0xC0FFEE01;
         },
         {Probe(), Probe(), Probe(), Probe(), Get(0x0826, 5), Get(0x0827, 6),
          Put(0x0900, KeyTextWords(text)), Control(128), Close()},
         [&text](const SimCardDriverLog& log) {
             EXPECT_EQ(log.probes, 4);
             ASSERT_EQ(log.keyTexts.size(), 1u);
             EXPECT_EQ(log.keyTexts[0], text);
             EXPECT_EQ(log.controls, std::vector<int>{128});
             EXPECT_EQ(log.closes, 1);
         }},
        {"requests before any probe, and after a close ended the session",
         [](SimCardDriver& s) { s.context = 0x1234; },
         {Get(0x0826, 5), Control(128), Close(), Probe(), Close(), Control(11), Close()}},
        {"requests with a context other than the probe gave",
         [](SimCardDriver& s) { s.context = 0x1234; },
         {Probe(), With(Control(128), &Step::context, 0x1235u), With(Close(), &Step::context, 0u),
          Control(4)}},
        {"a probe that failed opens no session",
         [](SimCardDriver& s) {
             s.context = 0x1234;
             s.probe_status = 7;
         },
         {Probe(), Get(0x0827, 6), Close()}},
        {"short and long identity, compatibility with status 8",
         [](SimCardDriver& s) {
             s.SetIdentity({3, 0x0826, 0, 1});
             s.SetCompatibility({9, 0x0827, 1, 2, 48, 1, 99, 6, 7, 8});
             s.compatibility_status = 8;
         },
         {Probe(), Get(0x0826, 5), Get(0x0827, 6), Get(0x0999, 3)}},
        {"a failure status writes no record",
         [](SimCardDriver& s) {
             s.identity_status = 9;
             s.SetIdentity({5, 0x0826, 7, 7, 7, 7});
         },
         {Probe(), Get(0x0826, 5)}},
        {"a reply is cut at the end of a short output buffer",
         [](SimCardDriver&) {},
         {Probe(), With(Get(0x0826, 5), &Step::size, 15)}},
        {"a record that fills the whole block",
         [&full](SimCardDriver& s) { s.SetIdentity(full); },
         {Probe(), Get(0x0826, 4097)}},
        {"puts, controls and their statuses",
         [](SimCardDriver& s) {
             s.key_text_status = 3;
             s.put_status = 4;
             s.control_status = 5;
             s.close_status = 6;
         },
         // The announced words of the third put run past the buffer.
         {Probe(), Put(0x0900, KeyTextWords("a b\x01\xff")), Put(0x0555, {1, 2, 3}),
          With(Put(0x0123, std::vector<uint16_t>(20, 0x4142)), &Step::size, 30), Put(0x0900, {}),
          Control(12), With(Close(), &Step::command, 3), Close()},
         [](const SimCardDriverLog& log) {
             EXPECT_EQ(log.puts.size(), 2u);
             EXPECT_EQ(log.keyTexts.size(), 2u);
         }},
        {"a silent close",
         [](SimCardDriver& s) {
             s.silent = CARD_SILENT_CLOSE;
             s.close_status = 6;
         },
         {Probe(), Close(), Control(128)}},
        {"calls the card refuses before reading the block",
         [](SimCardDriver&) {},
         {With(Probe(), &Step::code, 0x00170006), With(Probe(), &Step::input, 0xFF020400),
          With(Probe(), &Step::hasInput, false),
          With(Probe(), &Step::size, CARD_RECORD_DATA_OFFSET - 1),
          With(Probe(), &Step::size, CARD_RECORD_DATA_OFFSET)},
         [](const SimCardDriverLog& log) { EXPECT_EQ(log.probes, 1); }},
        {"an output buffer one word short of the block",
         [](SimCardDriver&) {},
         {Probe(), With(Get(0x0826, 5), &Step::size, CARD_BLOCK_SIZE - 2)},
         [](const SimCardDriverLog&) {
             const std::vector<std::string> wrongs = SimCardDriverReceived("PcCard0-0").wrongs;
             ASSERT_FALSE(wrongs.empty());
             EXPECT_EQ(wrongs.back(), "get output size 8202");
         }},
        {"a card whose every call fails",
         [](SimCardDriver& s) {
             s.call_error = 31;
             s.busy = 1;
         },
         {Probe(), With(Probe(), &Step::code, 0x00170006), With(Probe(), &Step::hasInput, false),
          Probe()},
         [](const SimCardDriverLog& log) { EXPECT_EQ(log.probes, 0); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SimCardDriver s;
        c.set(s);
        Both both(s);
        both.PlayAll(c.steps);
        c.check(both.log());
    }
}

} // namespace
