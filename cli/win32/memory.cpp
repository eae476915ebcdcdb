// The four memory functions that the compiler may call on its own for
// structure copies, initialisers and loops, supplied here because the program
// links no C runtime. Built with loop-to-call conversion turned off, or the
// loops below would be turned into calls to themselves.

typedef decltype(sizeof 0) ByteCount;

extern "C" {

void* memset(void* dest, int value, ByteCount count) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    for (ByteCount i = 0; i < count; ++i) {
        d[i] = static_cast<unsigned char>(value);
    }
    return dest;
}

void* memcpy(void* dest, const void* src, ByteCount count) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    for (ByteCount i = 0; i < count; ++i) {
        d[i] = s[i];
    }
    return dest;
}

// Overlapping ranges: copy from the end when the destination lies above the
// source, so no byte is overwritten before it is read.
void* memmove(void* dest, const void* src, ByteCount count) {
    unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    if (d > s && d < s + count) {
        for (ByteCount i = count; i > 0; --i) {
            d[i - 1] = s[i - 1];
        }
    } else {
        for (ByteCount i = 0; i < count; ++i) {
            d[i] = s[i];
        }
    }
    return dest;
}

int memcmp(const void* a, const void* b, ByteCount count) {
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (ByteCount i = 0; i < count; ++i) {
        if (x[i] != y[i]) {
            return x[i] < y[i] ? -1 : 1;
        }
    }
    return 0;
}

} // extern "C"
