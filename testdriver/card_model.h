/* How the test card driver answers the program's request block. Plain C with
 * no kernel or Win32 headers, so the same code runs inside the Wine driver
 * and in a host test beside the simulated machine's card driver, and both
 * answer alike.
 *
 * Wire format: control code 0x00170002, a 4-byte input 0xFF020401 and an
 * output buffer holding the request block {u32 context, u16 status,
 * u16 command, u16 record length, u16 record type, 8192 data bytes},
 * little-endian; the reply is written into the same bytes. */
#ifndef TESTDRIVER_CARD_MODEL_H
#define TESTDRIVER_CARD_MODEL_H

#include <stdint.h>

#define CARD_CONTROL_CODE 0x00170002u
#define CARD_INPUT_VALUE 0xFF020401u
#define CARD_INPUT_SIZE 4u

#define CARD_CONTEXT_OFFSET 0u
#define CARD_STATUS_OFFSET 4u
#define CARD_COMMAND_OFFSET 6u
#define CARD_RECORD_OFFSET 8u
#define CARD_RECORD_TYPE_OFFSET 10u
#define CARD_RECORD_DATA_OFFSET 12u
#define CARD_BLOCK_SIZE 8204u
/* The largest record, its length word included, fills the block from the
 * record offset to the last byte. */
#define CARD_MAX_RECORD_WORDS 4098u

#define CARD_COMMAND_PROBE 0u
#define CARD_COMMAND_CLOSE 1u
#define CARD_COMMAND_CONTROL 2u
#define CARD_COMMAND_GET 4u
#define CARD_COMMAND_PUT 5u

#define CARD_IDENTITY_TYPE 0x0826u
#define CARD_COMPATIBILITY_TYPE 0x0827u
#define CARD_KEY_TEXT_TYPE 0x0900u

#define CARD_STATUS_SUCCESS 0u
#define CARD_STATUS_PARTIAL 8u /* get: the reply record is valid all the same */
#define CARD_STATUS_BUSY 68u
/* Any request but the probe that lacks the context of its handle's probe. */
#define CARD_STATUS_UNKNOWN_CONTEXT 67u
/* A get of an unknown record type, or an unknown command. */
#define CARD_STATUS_UNKNOWN_REQUEST 255u

/* Win32 errors a refused device call gives. */
#define CARD_ERROR_INVALID_FUNCTION 1u
#define CARD_ERROR_INVALID_PARAMETER 87u
#define CARD_ERROR_INSUFFICIENT_BUFFER 122u

/* What one card answers. The defaults (card_default_settings) are a ready
 * card of variant 1, version 6.14, whose firmware suits the program. */
struct card_settings {
    /* The probe answers busy this many times (counted down), then with
     * probe_status, and with status 0 also gives the context value. */
    uint32_t busy;
    uint16_t probe_status;
    uint32_t context;
    /* Records a get returns: every word, the length word first, written
     * from the record offset as they stand, so a short list is a short
     * reply and the length word need not match what follows. */
    uint16_t identity[CARD_MAX_RECORD_WORDS];
    uint32_t identity_words;
    uint16_t compatibility[CARD_MAX_RECORD_WORDS];
    uint32_t compatibility_words;
    uint16_t identity_status;
    uint16_t compatibility_status;
    uint16_t key_text_status; /* put of a key text record */
    uint16_t put_status;      /* put of any other record */
    uint16_t control_status;
    uint16_t close_status;
    /* The close request is taken but its status is left as it was sent. */
    uint8_t silent_close;
    /* Win32 errors with which opening the device, or every device call on
     * it, fails; 0 lets them through. */
    uint32_t open_error;
    uint32_t call_error;
};

/* What a request was, for the card's record of what it received. */
enum card_event {
    CARD_EVENT_NONE = 0,
    CARD_EVENT_PROBE,
    CARD_EVENT_CLOSE,
    CARD_EVENT_CONTROL,  /* sub_code holds the sub-code */
    CARD_EVENT_KEY_TEXT, /* words/word_count: the record as received */
    CARD_EVENT_PUT,      /* the same, for any other record type */
};

struct card_received {
    enum card_event event;
    uint16_t sub_code;
    /* Points into the block: the length word, the type word and the data
     * words the length announces, as far as the block reaches. */
    const uint8_t* words;
    uint32_t word_count;
};

void card_default_settings(struct card_settings* s);

/* Checks a device call before the card looks at the block. Returns the
 * Win32 error the call fails with, or 0 when it goes through. */
uint32_t card_check_call(const struct card_settings* s, uint32_t code, const uint8_t* input,
                         uint32_t input_size, uint32_t output_size);

/* Answers the request in `block` (output_size bytes, at least the record
 * data offset) and says in `received` what it was. `session` is the state of
 * the handle the request came on: set by a successful probe, cleared by a
 * close; the busy count in `s` goes down. */
void card_answer(struct card_settings* s, int* session, uint8_t* block, uint32_t output_size,
                 struct card_received* received);

/* Reads and writes little-endian words of the block. */
uint16_t card_get16(const uint8_t* p);
uint32_t card_get32(const uint8_t* p);
void card_put16(uint8_t* p, uint16_t v);
void card_put32(uint8_t* p, uint32_t v);

#endif
