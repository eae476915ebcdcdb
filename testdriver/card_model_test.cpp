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
    bool hasContext = false;
    uint32_t context = 0;
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

// What the Wine card model received, recorded here apart from the simulated
// machine's SimCardDriverLog and its Note on purpose: the independent record
// that ExpectSameLog holds the simulated machine's log against.
struct Log {
    int probes = 0;
    std::vector<std::string> keyTexts;
    std::vector<std::vector<WORD>> puts;
    std::vector<int> controls;
    int closes = 0;
};

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
        SetLastError(0);
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

    const Log& log() const { return log_; }

  private:
    void Prepare(std::vector<uint8_t>& block, const Step& step) const {
        card_put32(block.data() + CARD_CONTEXT_OFFSET, step.hasContext ? step.context : context_);
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

    // Decodes the card's report on its own (see Log), not with simwin/devices.cpp.
    void Note(const card_received& r) {
        std::vector<WORD> words;
        for (uint32_t i = 0; i < r.word_count; ++i) {
            words.push_back(card_get16(r.words + 2 * i));
        }
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
        case CARD_EVENT_KEY_TEXT: {
            std::string text;
            for (size_t i = 2; i < words.size(); ++i) {
                text += static_cast<char>(words[i] & 0xFF);
                text += static_cast<char>(words[i] >> 8);
            }
            log_.keyTexts.push_back(text);
            break;
        }
        case CARD_EVENT_PUT:
            log_.puts.push_back(words);
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
    Log log_;
};

std::vector<uint16_t> KeyTextWords(const std::string& text) {
    std::vector<uint16_t> words;
    for (size_t i = 0; i < text.size(); i += 2) {
        words.push_back(static_cast<uint16_t>(static_cast<unsigned char>(text[i]) |
                                              (static_cast<unsigned char>(text[i + 1]) << 8)));
    }
    return words;
}

TEST(CardModel, AWholePushAfterBusyProbes) {
    SimCardDriver s;
    s.busy = 3;
    s.context = 0xC0FFEE01;
    Both both(s);
    std::string text(102, 'q');
    text[0] = 'A';
    text[101] = 'z';
    both.PlayAll({Probe(), Probe(), Probe(), Probe(), Get(0x0826, 5), Get(0x0827, 6),
                  Put(0x0900, KeyTextWords(text)), Control(128), Close()});
    EXPECT_EQ(both.log().probes, 4);
    ASSERT_EQ(both.log().keyTexts.size(), 1u);
    EXPECT_EQ(both.log().keyTexts[0], text);
    EXPECT_EQ(both.log().controls, std::vector<int>{128});
    EXPECT_EQ(both.log().closes, 1);
}

TEST(CardModel, RequestsOutsideAProbedSession) {
    SimCardDriver s;
    s.context = 0x1234;
    {
        SCOPED_TRACE("before any probe, and after a close ended the session");
        Both both(s);
        both.PlayAll(
            {Get(0x0826, 5), Control(128), Close(), Probe(), Close(), Control(11), Close()});
    }
    {
        SCOPED_TRACE("a context other than the probe gave");
        Both both(s);
        Step wrong = Control(128);
        wrong.hasContext = true;
        wrong.context = 0x1235;
        Step wrongClose = Close();
        wrongClose.hasContext = true;
        wrongClose.context = 0;
        both.PlayAll({Probe(), wrong, wrongClose, Control(4)});
    }
    {
        SCOPED_TRACE("a probe that failed opens no session");
        SimCardDriver failing = s;
        failing.probe_status = 7;
        Both both(failing);
        both.PlayAll({Probe(), Get(0x0827, 6), Close()});
    }
}

TEST(CardModel, RecordReplies) {
    {
        SCOPED_TRACE("short and long identity, compatibility with status 8");
        SimCardDriver s;
        s.SetIdentity({3, 0x0826, 0, 1});
        s.SetCompatibility({9, 0x0827, 1, 2, 48, 1, 99, 6, 7, 8});
        s.compatibility_status = 8;
        Both both(s);
        both.PlayAll({Probe(), Get(0x0826, 5), Get(0x0827, 6), Get(0x0999, 3)});
    }
    {
        SCOPED_TRACE("a failure status writes no record");
        SimCardDriver s;
        s.identity_status = 9;
        s.SetIdentity({5, 0x0826, 7, 7, 7, 7});
        Both both(s);
        both.PlayAll({Probe(), Get(0x0826, 5)});
    }
    {
        SCOPED_TRACE("a reply is cut at the end of a short output buffer");
        SimCardDriver s;
        Both both(s);
        Step get = Get(0x0826, 5);
        get.size = 15;
        both.PlayAll({Probe(), get});
    }
    {
        SCOPED_TRACE("a record that fills the whole block");
        SimCardDriver s;
        std::vector<WORD> full(CARD_MAX_RECORD_WORDS, 0x5A5A);
        full[0] = 4097;
        s.SetIdentity(full);
        Both both(s);
        both.PlayAll({Probe(), Get(0x0826, 4097)});
    }
}

TEST(CardModel, PutsControlsAndStatuses) {
    SimCardDriver s;
    s.key_text_status = 3;
    s.put_status = 4;
    s.control_status = 5;
    s.close_status = 6;
    Both both(s);
    Step longPut = Put(0x0123, std::vector<uint16_t>(20, 0x4142));
    longPut.size = 30; // the announced words run past the buffer
    Step unknown = Close();
    unknown.command = 3;
    both.PlayAll({Probe(), Put(0x0900, KeyTextWords("a b\x01\xff")), Put(0x0555, {1, 2, 3}),
                  longPut, Put(0x0900, {}), Control(12), unknown, Close()});
    EXPECT_EQ(both.log().puts.size(), 2u);
    EXPECT_EQ(both.log().keyTexts.size(), 2u);
}

TEST(CardModel, SilentClose) {
    SimCardDriver s;
    s.silent = CARD_SILENT_CLOSE;
    s.close_status = 6;
    Both both(s);
    both.PlayAll({Probe(), Close(), Control(128)});
}

TEST(CardModel, RefusedCalls) {
    {
        SCOPED_TRACE("calls the card refuses before reading the block");
        SimCardDriver s;
        Both both(s);
        Step code = Probe();
        code.code = 0x00170006;
        Step value = Probe();
        value.input = 0xFF020400;
        Step none = Probe();
        none.hasInput = false;
        Step small = Probe();
        small.size = CARD_RECORD_DATA_OFFSET - 1;
        Step least = Probe();
        least.size = CARD_RECORD_DATA_OFFSET;
        both.PlayAll({code, value, none, small, least});
        EXPECT_EQ(both.log().probes, 1);
    }
    {
        SCOPED_TRACE("a card whose every call fails");
        SimCardDriver s;
        s.call_error = 31;
        s.busy = 1;
        Both both(s);
        Step code = Probe();
        code.code = 0x00170006;
        Step none = Probe();
        none.hasInput = false;
        both.PlayAll({Probe(), code, none, Probe()});
        EXPECT_EQ(both.log().probes, 0);
    }
}

} // namespace
