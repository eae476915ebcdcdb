/* A small Windows client of the test card driver, for its self-check under
 * Wine: it makes the same device calls as the program, one step per
 * argument, and prints what each gave, one line a step.
 *
 *   cardclient open NAME      CreateFileA("\\.\NAME") as the program opens it
 *   cardclient probe          the probe; the context of a good reply is kept
 *                             for the requests that follow, as the program does
 *   cardclient get TYPE LEN   get record: prints status and the reply record
 *   cardclient put TYPE WORD...        put record of these data words
 *   cardclient puttext TYPE TEXT       put record of TEXT, two characters a word
 *   cardclient control CODE   control request
 *   cardclient close          close request (status preset to 69)
 *   cardclient closehandle    CloseHandle on the device
 *   cardclient call CODE INPUT SIZE    a raw device call: control code, 32-bit
 *                             input value ("none" for no input), output size
 *   cardclient query NAME     QueryDosDeviceA
 *   cardclient define FLAGS NAME TARGET    DefineDosDeviceA
 *
 * Steps follow each other in one run, on one handle and one request block.
 * Numbers are decimal or 0x hexadecimal. Output, one line a step:
 *   open ok=1|0 error=E
 *   request ok=1|0 error=E status=S context=0xC [record=W W ...]
 *   query ok=1|0 error=E target=T
 *   define ok=1|0 error=E
 *   closehandle ok=1|0 error=E
 * Exit code 2 on a malformed argument list, else 0. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "card_model.h"

static HANDLE device = INVALID_HANDLE_VALUE;
static uint8_t block[CARD_BLOCK_SIZE];
static uint32_t context;

static unsigned long number(const char* text) {
    char* end = 0;
    unsigned long v = strtoul(text, &end, 0);
    if (*text == 0 || *end != 0) {
        fprintf(stderr, "not a number: %s\n", text);
        exit(2);
    }
    return v;
}

static void print_request(BOOL ok, uint32_t words) {
    uint32_t i;
    printf("request ok=%d error=%lu status=%u context=0x%08X", ok ? 1 : 0,
           ok ? 0ul : GetLastError(), card_get16(block + CARD_STATUS_OFFSET),
           card_get32(block + CARD_CONTEXT_OFFSET));
    if (words > 0) {
        printf(" record=");
        for (i = 0; i < words && CARD_RECORD_OFFSET + 2 * i + 2 <= CARD_BLOCK_SIZE; ++i) {
            printf(i == 0 ? "%u" : " %u", card_get16(block + CARD_RECORD_OFFSET + 2 * i));
        }
    }
    printf("\n");
}

static BOOL call(DWORD code, const DWORD* input, DWORD output_size) {
    DWORD returned = 0;
    return DeviceIoControl(device, code, (LPVOID)input, input ? CARD_INPUT_SIZE : 0, block,
                           output_size, &returned, 0);
}

static BOOL exchange(uint16_t status) {
    static const DWORD input = CARD_INPUT_VALUE;
    card_put32(block + CARD_CONTEXT_OFFSET, context);
    card_put16(block + CARD_STATUS_OFFSET, status);
    return call(CARD_CONTROL_CODE, &input, CARD_BLOCK_SIZE);
}

static void set_request(uint16_t command, uint16_t length, uint16_t type) {
    card_put16(block + CARD_COMMAND_OFFSET, command);
    card_put16(block + CARD_RECORD_OFFSET, length);
    card_put16(block + CARD_RECORD_TYPE_OFFSET, type);
}

int main(int argc, char** argv) {
    int i = 1;
    while (i < argc) {
        const char* step = argv[i++];
        int left = argc - i;
        if (strcmp(step, "open") == 0 && left >= 1) {
            char path[MAX_PATH];
            snprintf(path, sizeof path, "\\\\.\\%s", argv[i++]);
            device = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                                 OPEN_EXISTING, 0, INVALID_HANDLE_VALUE);
            printf("open ok=%d error=%lu\n", device != INVALID_HANDLE_VALUE,
                   device != INVALID_HANDLE_VALUE ? 0ul : GetLastError());
        } else if (strcmp(step, "probe") == 0) {
            BOOL ok;
            card_put16(block + CARD_COMMAND_OFFSET, CARD_COMMAND_PROBE);
            ok = exchange(card_get16(block + CARD_STATUS_OFFSET));
            if (ok && card_get16(block + CARD_STATUS_OFFSET) == CARD_STATUS_SUCCESS) {
                context = card_get32(block + CARD_CONTEXT_OFFSET);
            }
            print_request(ok, 0);
        } else if (strcmp(step, "get") == 0 && left >= 2) {
            BOOL ok;
            set_request(CARD_COMMAND_GET, (uint16_t)number(argv[i + 1]), (uint16_t)number(argv[i]));
            i += 2;
            ok = exchange(0);
            print_request(ok, (uint32_t)card_get16(block + CARD_RECORD_OFFSET) + 1);
        } else if (strcmp(step, "put") == 0 && left >= 1) {
            uint16_t type = (uint16_t)number(argv[i++]);
            uint16_t words = 0;
            while (i < argc && argv[i][0] >= '0' && argv[i][0] <= '9') {
                card_put16(block + CARD_RECORD_DATA_OFFSET + 2 * words++,
                           (uint16_t)number(argv[i++]));
            }
            set_request(CARD_COMMAND_PUT, (uint16_t)(words + 1), type);
            print_request(exchange(0), 0);
        } else if (strcmp(step, "puttext") == 0 && left >= 2) {
            uint16_t type = (uint16_t)number(argv[i++]);
            const char* text = argv[i++];
            size_t n = strlen(text);
            memcpy(block + CARD_RECORD_DATA_OFFSET, text, n);
            if (n % 2 != 0) {
                block[CARD_RECORD_DATA_OFFSET + n++] = 0;
            }
            set_request(CARD_COMMAND_PUT, (uint16_t)(n / 2 + 1), type);
            print_request(exchange(0), 0);
        } else if (strcmp(step, "control") == 0 && left >= 1) {
            set_request(CARD_COMMAND_CONTROL, CARD_MAX_RECORD_WORDS - 1,
                        (uint16_t)number(argv[i++]));
            print_request(exchange(0), 0);
        } else if (strcmp(step, "close") == 0) {
            set_request(CARD_COMMAND_CLOSE, 0, 0);
            print_request(exchange(69), 0);
        } else if (strcmp(step, "closehandle") == 0) {
            BOOL ok = CloseHandle(device);
            printf("closehandle ok=%d error=%lu\n", ok ? 1 : 0, ok ? 0ul : GetLastError());
            device = INVALID_HANDLE_VALUE;
        } else if (strcmp(step, "call") == 0 && left >= 3) {
            DWORD code = (DWORD)number(argv[i]);
            DWORD input = 0;
            int has_input = strcmp(argv[i + 1], "none") != 0;
            DWORD size;
            if (has_input) {
                input = (DWORD)number(argv[i + 1]);
            }
            size = (DWORD)number(argv[i + 2]);
            i += 3;
            if (size > CARD_BLOCK_SIZE) {
                size = CARD_BLOCK_SIZE;
            }
            print_request(call(code, has_input ? &input : 0, size), 0);
        } else if (strcmp(step, "query") == 0 && left >= 1) {
            char target[MAX_PATH];
            DWORD n = QueryDosDeviceA(argv[i++], target, sizeof target);
            printf("query ok=%d error=%lu target=%s\n", n != 0, n != 0 ? 0ul : GetLastError(),
                   n != 0 ? target : "");
        } else if (strcmp(step, "define") == 0 && left >= 3) {
            BOOL ok = DefineDosDeviceA((DWORD)number(argv[i]), argv[i + 1], argv[i + 2]);
            i += 3;
            printf("define ok=%d error=%lu\n", ok ? 1 : 0, ok ? 0ul : GetLastError());
        } else {
            fprintf(stderr, "bad step: %s\n", step);
            return 2;
        }
        fflush(stdout);
    }
    return 0;
}
