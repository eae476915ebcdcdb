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
    uint32_t i;
    s->busy = 0;
    s->probe_status = CARD_STATUS_SUCCESS;
    s->context = 0x00010001u;
    s->identity_words = sizeof identity / sizeof identity[0];
    for (i = 0; i < s->identity_words; ++i) {
        s->identity[i] = identity[i];
    }
    s->compatibility_words = sizeof compatibility / sizeof compatibility[0];
    for (i = 0; i < s->compatibility_words; ++i) {
        s->compatibility[i] = compatibility[i];
    }
    s->identity_status = 0;
    s->compatibility_status = 0;
    s->key_text_status = 0;
    s->put_status = 0;
    s->control_status = 0;
    s->close_status = 0;
    s->silent_close = 0;
    s->open_error = 0;
    s->call_error = 0;
}

uint32_t card_check_call(const struct card_settings* s, uint32_t code, const uint8_t* input,
                         uint32_t input_size, uint32_t output_size) {
    if (s->call_error != 0) {
        return s->call_error;
    }
    if (code != CARD_CONTROL_CODE) {
        return CARD_ERROR_INVALID_FUNCTION;
    }
    if (input == 0 || input_size != CARD_INPUT_SIZE || card_get32(input) != CARD_INPUT_VALUE) {
        return CARD_ERROR_INVALID_PARAMETER;
    }
    if (output_size < CARD_RECORD_DATA_OFFSET) {
        return CARD_ERROR_INSUFFICIENT_BUFFER;
    }
    return 0;
}

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

static void answer_get(const struct card_settings* s, uint8_t* block, uint32_t size) {
    uint16_t type = card_get16(block + CARD_RECORD_TYPE_OFFSET);
    const uint16_t* words = 0;
    uint32_t count = 0;
    uint16_t status = CARD_STATUS_UNKNOWN_REQUEST;
    if (type == CARD_IDENTITY_TYPE) {
        words = s->identity;
        count = s->identity_words;
        status = s->identity_status;
    } else if (type == CARD_COMPATIBILITY_TYPE) {
        words = s->compatibility;
        count = s->compatibility_words;
        status = s->compatibility_status;
    }
    if (words != 0 && (status == CARD_STATUS_SUCCESS || status == CARD_STATUS_PARTIAL)) {
        write_record(block, size, words, count);
    }
    card_put16(block + CARD_STATUS_OFFSET, status);
}

void card_answer(struct card_settings* s, int* session, uint8_t* block, uint32_t size,
                 struct card_received* r) {
    uint16_t command = card_get16(block + CARD_COMMAND_OFFSET);
    r->event = CARD_EVENT_NONE;
    r->sub_code = 0;
    r->words = 0;
    r->word_count = 0;
    if (command == CARD_COMMAND_PROBE) {
        r->event = CARD_EVENT_PROBE;
        if (s->busy > 0) {
            --s->busy;
            card_put16(block + CARD_STATUS_OFFSET, CARD_STATUS_BUSY);
            return;
        }
        card_put16(block + CARD_STATUS_OFFSET, s->probe_status);
        if (s->probe_status == CARD_STATUS_SUCCESS) {
            card_put32(block + CARD_CONTEXT_OFFSET, s->context);
            *session = 1;
        }
        return;
    }
    /* A close counts even when the card refuses it below. */
    if (command == CARD_COMMAND_CLOSE) {
        r->event = CARD_EVENT_CLOSE;
    }
    if (!*session || card_get32(block + CARD_CONTEXT_OFFSET) != s->context) {
        card_put16(block + CARD_STATUS_OFFSET, CARD_STATUS_UNKNOWN_CONTEXT);
        return;
    }
    switch (command) {
    case CARD_COMMAND_CLOSE:
        *session = 0;
        if (!s->silent_close) {
            card_put16(block + CARD_STATUS_OFFSET, s->close_status);
        }
        return;
    case CARD_COMMAND_CONTROL:
        r->event = CARD_EVENT_CONTROL;
        r->sub_code = card_get16(block + CARD_RECORD_TYPE_OFFSET);
        card_put16(block + CARD_STATUS_OFFSET, s->control_status);
        return;
    case CARD_COMMAND_GET:
        answer_get(s, block, size);
        return;
    case CARD_COMMAND_PUT:
        read_record(block, size, r);
        if (card_get16(block + CARD_RECORD_TYPE_OFFSET) == CARD_KEY_TEXT_TYPE) {
            r->event = CARD_EVENT_KEY_TEXT;
            card_put16(block + CARD_STATUS_OFFSET, s->key_text_status);
        } else {
            r->event = CARD_EVENT_PUT;
            card_put16(block + CARD_STATUS_OFFSET, s->put_status);
        }
        return;
    default:
        card_put16(block + CARD_STATUS_OFFSET, CARD_STATUS_UNKNOWN_REQUEST);
        return;
    }
}
