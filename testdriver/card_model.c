/* The test card's answers to the request block; see card_model.h. */
#include "card_model.h"

uint16_t card_get16(const uint8_t* p) {
    return (uint16_t)(p[0] | (p[1] << 8));
}

uint32_t card_get32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

void card_put16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

void card_put32(uint8_t* p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

void card_default_settings(struct card_settings* s) {
    static const uint16_t identity[] = {5, CARD_IDENTITY_TYPE, 0, 1, 6, 14};
    static const uint16_t compatibility[] = {6, CARD_COMPATIBILITY_TYPE, 0, 0, 48, 1, 99};
    uint8_t* bytes = (uint8_t*)s;
    uint32_t i;
    /* Not busy, every status 0, nothing silent and no failure. */
    for (i = 0; i < sizeof *s; ++i) {
        bytes[i] = 0;
    }
    s->context = 0x00010001u;
    s->identity_words = sizeof identity / sizeof identity[0];
    for (i = 0; i < s->identity_words; ++i) {
        s->identity[i] = identity[i];
    }
    s->compatibility_words = sizeof compatibility / sizeof compatibility[0];
    for (i = 0; i < s->compatibility_words; ++i) {
        s->compatibility[i] = compatibility[i];
    }
}

#define CARD_FIELD(f) offsetof(struct card_settings, f)
#define CARD_NUMBER(name, kind, f)                                                                 \
    { name, CARD_SETTING_##kind, 0, CARD_FIELD(f), 0 }
#define CARD_STATUS(name, f, bit)                                                                  \
    { name, CARD_SETTING_STATUS, bit, CARD_FIELD(f), 0 }
#define CARD_RECORD(name, f)                                                                       \
    { name, CARD_SETTING_RECORD, 0, CARD_FIELD(f), CARD_FIELD(f##_words) }
#define CARD_FAILURE(name, k)                                                                      \
    { name, CARD_SETTING_FAILURE, 0, CARD_FIELD(kind_error[k]), CARD_FIELD(kind_attempt[k]) }

const struct card_setting card_setting_table[] = {
    CARD_NUMBER("Busy", COUNT, busy),
    CARD_STATUS("ProbeStatus", probe_status, CARD_SILENT_PROBE),
    CARD_NUMBER("Context", CONTEXT, context),
    CARD_RECORD("Identity", identity),
    CARD_RECORD("Compatibility", compatibility),
    CARD_STATUS("IdentityStatus", identity_status, CARD_SILENT_IDENTITY),
    CARD_STATUS("CompatibilityStatus", compatibility_status, CARD_SILENT_COMPATIBILITY),
    CARD_STATUS("KeyTextStatus", key_text_status, CARD_SILENT_KEY_TEXT),
    CARD_STATUS("PutStatus", put_status, CARD_SILENT_PUT),
    CARD_STATUS("ControlStatus", control_status, CARD_SILENT_CONTROL),
    CARD_STATUS("CloseStatus", close_status, CARD_SILENT_CLOSE),
    CARD_NUMBER("OpenError", ERROR, open_error),
    CARD_NUMBER("CallError", ERROR, call_error),
    CARD_FAILURE("ProbeError", CARD_KIND_PROBE),
    CARD_FAILURE("GetError", CARD_KIND_GET),
    CARD_FAILURE("PutError", CARD_KIND_PUT),
    CARD_FAILURE("ControlError", CARD_KIND_CONTROL),
    CARD_FAILURE("CloseError", CARD_KIND_CLOSE),
};
const uint32_t card_setting_count = sizeof card_setting_table / sizeof card_setting_table[0];

/* A reply record goes in only as far as the caller's buffer reaches. */
static void write_record(uint8_t* block, uint32_t size, const uint16_t* words, uint32_t count) {
    uint32_t i;
    for (i = 0; i < count; ++i) {
        uint32_t at = CARD_RECORD_OFFSET + 2 * i;
        if (at + 2 > size) {
            break;
        }
        card_put16(block + at, words[i]);
    }
}

static void read_record(const uint8_t* block, uint32_t size, struct card_received* r) {
    uint32_t length = card_get16(block + CARD_RECORD_OFFSET);
    uint32_t count = 2;
    /* The data words the length announces, as far as the block reaches. */
    while (count < length + 1 && CARD_RECORD_OFFSET + 2 * count + 2 <= size) {
        ++count;
    }
    r->words = block + CARD_RECORD_OFFSET;
    r->word_count = count;
}

/* FNV-1a over the data area, as far as the block reaches. */
static uint32_t data_sum(const uint8_t* block, uint32_t size) {
    uint32_t sum = 2166136261u;
    uint32_t i;
    for (i = CARD_RECORD_DATA_OFFSET; i < size && i < CARD_BLOCK_SIZE; ++i) {
        sum = (sum ^ block[i]) * 16777619u;
    }
    return sum;
}

static void set_status(uint8_t* block, uint32_t silent, uint16_t status) {
    if (!silent) {
        card_put16(block + CARD_STATUS_OFFSET, status);
    }
}

static void answer_get(const struct card_settings* s, uint8_t* block, uint32_t size) {
    uint16_t type = card_get16(block + CARD_RECORD_TYPE_OFFSET);
    const uint16_t* words = 0;
    uint32_t count = 0;
    uint16_t status = CARD_STATUS_UNKNOWN_REQUEST;
    uint32_t silent = 0;
    if (type == CARD_IDENTITY_TYPE) {
        words = s->identity;
        count = s->identity_words;
        status = s->identity_status;
        silent = s->silent & CARD_SILENT_IDENTITY;
    } else if (type == CARD_COMPATIBILITY_TYPE) {
        words = s->compatibility;
        count = s->compatibility_words;
        status = s->compatibility_status;
        silent = s->silent & CARD_SILENT_COMPATIBILITY;
    }
    if (silent) {
        return;
    }
    if (words != 0 && (status == CARD_STATUS_SUCCESS || status == CARD_STATUS_PARTIAL)) {
        write_record(block, size, words, count);
    }
    card_put16(block + CARD_STATUS_OFFSET, status);
}

static enum card_kind kind_of(uint16_t command) {
    switch (command) {
    case CARD_COMMAND_PROBE:
        return CARD_KIND_PROBE;
    case CARD_COMMAND_GET:
        return CARD_KIND_GET;
    case CARD_COMMAND_PUT:
        return CARD_KIND_PUT;
    case CARD_COMMAND_CONTROL:
        return CARD_KIND_CONTROL;
    case CARD_COMMAND_CLOSE:
        return CARD_KIND_CLOSE;
    default:
        return CARD_KIND_NONE;
    }
}

/* What the program must send: a close carries length 0 and type 0, a
 * control request the largest length and an accepted sub-code, no request a
 * length over the largest, and get, control and close leave the data area as
 * the last reply on the handle left it. */
static void check_request(const struct card_session* h, const uint8_t* block, uint32_t size,
                          struct card_received* r) {
    if (size != CARD_BLOCK_SIZE) {
        r->wrong |= CARD_WRONG_OUTPUT_SIZE;
    }
    if (r->kind == CARD_KIND_CLOSE && r->length != 0) {
        r->wrong |= CARD_WRONG_LENGTH;
    }
    if (r->kind == CARD_KIND_CLOSE && r->type != 0) {
        r->wrong |= CARD_WRONG_TYPE;
    }
    if ((r->kind == CARD_KIND_CONTROL && r->length != CARD_CONTROL_LENGTH) ||
        r->length > CARD_MAX_RECORD_LENGTH) {
        r->wrong |= CARD_WRONG_LENGTH;
    }
    /* The program refuses other sub-codes without asking the card. */
    if (r->kind == CARD_KIND_CONTROL && r->type != 4 && r->type != 6 && r->type != 11 &&
        r->type != 12 && r->type != 128) {
        r->wrong |= CARD_WRONG_SUB_CODE;
    }
    if ((r->kind == CARD_KIND_GET || r->kind == CARD_KIND_CONTROL || r->kind == CARD_KIND_CLOSE) &&
        h->data_known && data_sum(block, size) != h->data_sum) {
        r->wrong |= CARD_WRONG_DATA;
    }
}

static void answer(struct card_settings* s, struct card_session* h, uint8_t* block, uint32_t size,
                   struct card_received* r) {
    uint16_t command = card_get16(block + CARD_COMMAND_OFFSET);
    if (command == CARD_COMMAND_PROBE) {
        r->event = CARD_EVENT_PROBE;
        if (s->busy > 0) {
            --s->busy;
            card_put16(block + CARD_STATUS_OFFSET, CARD_STATUS_BUSY);
            return;
        }
        if (s->silent & CARD_SILENT_PROBE) {
            return;
        }
        card_put16(block + CARD_STATUS_OFFSET, s->probe_status);
        if (s->probe_status == CARD_STATUS_SUCCESS) {
            card_put32(block + CARD_CONTEXT_OFFSET, s->context);
            h->probed = 1;
        }
        return;
    }
    /* A close counts even when the card refuses it below. */
    if (command == CARD_COMMAND_CLOSE) {
        r->event = CARD_EVENT_CLOSE;
    }
    if (!h->probed || card_get32(block + CARD_CONTEXT_OFFSET) != s->context) {
        card_put16(block + CARD_STATUS_OFFSET, CARD_STATUS_UNKNOWN_CONTEXT);
        return;
    }
    switch (command) {
    case CARD_COMMAND_CLOSE:
        h->probed = 0;
        set_status(block, s->silent & CARD_SILENT_CLOSE, s->close_status);
        return;
    case CARD_COMMAND_CONTROL:
        r->event = CARD_EVENT_CONTROL;
        r->sub_code = r->type;
        set_status(block, s->silent & CARD_SILENT_CONTROL, s->control_status);
        return;
    case CARD_COMMAND_GET:
        r->event = CARD_EVENT_GET;
        card_put16(r->asked, r->length);
        card_put16(r->asked + 2, r->type);
        r->words = r->asked;
        r->word_count = 2;
        answer_get(s, block, size);
        return;
    case CARD_COMMAND_PUT:
        read_record(block, size, r);
        if (r->type == CARD_KEY_TEXT_TYPE) {
            r->event = CARD_EVENT_KEY_TEXT;
            set_status(block, s->silent & CARD_SILENT_KEY_TEXT, s->key_text_status);
        } else {
            r->event = CARD_EVENT_PUT;
            set_status(block, s->silent & CARD_SILENT_PUT, s->put_status);
        }
        return;
    default:
        card_put16(block + CARD_STATUS_OFFSET, CARD_STATUS_UNKNOWN_REQUEST);
        return;
    }
}

uint32_t card_call(struct card_settings* s, struct card_session* h, uint32_t code,
                   const uint8_t* input, uint32_t input_size, uint8_t* block, uint32_t size,
                   struct card_received* r) {
    static const struct card_received nothing = {0};
    uint32_t n;
    *r = nothing;
    r->kind = CARD_KIND_NONE;
    r->code = code;
    r->input_size = input_size;
    r->input_value = input != 0 && input_size >= CARD_INPUT_SIZE ? card_get32(input) : 0;
    r->output_size = size;
    if (s->call_error != 0) {
        return s->call_error;
    }
    if (code != CARD_CONTROL_CODE) {
        r->wrong = CARD_WRONG_CODE;
        return CARD_ERROR_INVALID_FUNCTION;
    }
    if (input == 0 || input_size != CARD_INPUT_SIZE || card_get32(input) != CARD_INPUT_VALUE) {
        r->wrong = CARD_WRONG_INPUT;
        return CARD_ERROR_INVALID_PARAMETER;
    }
    if (block == 0 || size < CARD_RECORD_DATA_OFFSET) {
        r->wrong = CARD_WRONG_OUTPUT_SIZE;
        return CARD_ERROR_INSUFFICIENT_BUFFER;
    }
    r->kind = kind_of(card_get16(block + CARD_COMMAND_OFFSET));
    r->length = card_get16(block + CARD_RECORD_OFFSET);
    r->type = card_get16(block + CARD_RECORD_TYPE_OFFSET);
    if (r->kind != CARD_KIND_NONE) {
        n = ++s->kind_calls[r->kind];
        if (s->kind_error[r->kind] != 0 &&
            (s->kind_attempt[r->kind] == 0 || s->kind_attempt[r->kind] == n)) {
            return s->kind_error[r->kind];
        }
    }
    check_request(h, block, size, r);
    answer(s, h, block, size, r);
    h->data_known = r->kind != CARD_KIND_PROBE;
    h->data_sum = h->data_known ? data_sum(block, size) : 0;
    return 0;
}

static uint32_t append(char* out, uint32_t at, uint32_t size, const char* text) {
    while (*text != 0 && at + 1 < size) {
        out[at++] = *text++;
    }
    out[at] = 0;
    return at;
}

static uint32_t append_number(char* out, uint32_t at, uint32_t size, uint32_t v, int hex_digits) {
    char digits[12];
    int n = 0;
    if (hex_digits > 0) {
        at = append(out, at, size, "0x");
        while (n < hex_digits) {
            digits[n++] = "0123456789ABCDEF"[v & 0xFu];
            v >>= 4;
        }
    } else {
        do {
            digits[n++] = (char)('0' + v % 10);
            v /= 10;
        } while (v != 0);
    }
    while (n > 0 && at + 1 < size) {
        out[at++] = digits[--n];
    }
    out[at] = 0;
    return at;
}

uint32_t card_describe_wrong(const struct card_received* r, char* out, uint32_t size) {
    static const char* const kinds[] = {"probe", "get", "put", "control", "close", "call"};
    const int input_value = r->input_size == CARD_INPUT_SIZE;
    /* What was wrong, in the order the line names it, and the number it
     * shows: in hexadecimal with that many digits, decimal (0) or none (-1). */
    const struct {
        uint32_t bit;
        const char* text;
        uint32_t value;
        int hex_digits;
    } parts[] = {
        {CARD_WRONG_CODE, "code ", r->code, 8},
        {CARD_WRONG_INPUT, input_value ? "input value " : "input size ",
         input_value ? r->input_value : r->input_size, input_value ? 8 : 0},
        {CARD_WRONG_OUTPUT_SIZE, "output size ", r->output_size, 0},
        {CARD_WRONG_LENGTH, "length ", r->length, 0},
        {CARD_WRONG_TYPE, "type ", r->type, 4},
        {CARD_WRONG_SUB_CODE, "sub-code ", r->type, 0},
        {CARD_WRONG_DATA, "data written", 0, -1},
    };
    const char* separator = " ";
    uint32_t at;
    uint32_t i;
    if (size == 0) {
        return 0;
    }
    at = append(out, 0, size, kinds[r->kind]);
    for (i = 0; i < sizeof parts / sizeof parts[0]; ++i) {
        if (r->wrong & parts[i].bit) {
            at = append(out, at, size, separator);
            at = append(out, at, size, parts[i].text);
            if (parts[i].hex_digits >= 0) {
                at = append_number(out, at, size, parts[i].value, parts[i].hex_digits);
            }
            separator = ", ";
        }
    }
    return at;
}
