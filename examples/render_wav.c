/*
 * render_wav: renders one pass of a module into a WAV file through
 * libzindle, the frames zindle-render writes by default.
 *
 *   render_wav MODULE OUTPUT.wav
 *
 * Build it against an installed libzindle with pkg-config:
 *   cc render_wav.c $(pkg-config --cflags --libs zindle) -o render_wav
 * or with CMake: find_package(zindle) and link zindle::zindle.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <zindle.h>

enum { CHUNK = 2048 }; /* frames per call: any count works */

static unsigned char file_data[ZINDLE_IMAGE_BYTES];

static void put_le(unsigned char* at, uint32_t value, int bytes) {
    int i;
    for (i = 0; i < bytes; ++i) at[i] = (unsigned char)(value >> (8 * i));
}

static int write_header(FILE* out, uint32_t data_bytes) {
    unsigned char h[44] = "RIFF....WAVEfmt ....................data";
    put_le(h + 4, data_bytes + 36, 4);
    put_le(h + 16, 16, 4);
    put_le(h + 20, 1, 2); /* PCM */
    put_le(h + 22, 2, 2); /* stereo */
    put_le(h + 24, ZINDLE_SAMPLE_RATE, 4);
    put_le(h + 28, ZINDLE_SAMPLE_RATE * 4, 4);
    put_le(h + 32, 4, 2);
    put_le(h + 34, 16, 2);
    put_le(h + 40, data_bytes, 4);
    return fwrite(h, 1, sizeof h, out) == sizeof h;
}

int main(int argc, char** argv) {
    static int16_t frames[2 * CHUNK];
    static unsigned char bytes[4 * CHUNK];
    FILE *in, *out;
    size_t size, i;
    uint64_t total, done;
    int error;

    if (argc != 3) {
        fprintf(stderr, "usage: render_wav MODULE OUTPUT.wav\n");
        return 2;
    }
    in = fopen(argv[1], "rb");
    if (in == NULL) {
        perror(argv[1]);
        return 1;
    }
    size = fread(file_data, 1, sizeof file_data, in);
    fclose(in);

    error = zindle_load(file_data, size);
    fputs(zindle_report(), stderr);
    if (error < 0) {
        fprintf(stderr, "render_wav: %s: %s\n", argv[1], zindle_strerror(error));
        return 1;
    }
    /* One pass, to the frame at which the song comes back, as zindle-render
       cuts it (20 minutes for a song that does not come back): the song
       ends there, and zindle_render gives fewer frames than asked. */
    total = zindle_pass_frames();
    zindle_set_repeat(0);

    out = fopen(argv[2], "wb");
    if (out == NULL) {
        perror(argv[2]);
        return 1;
    }
    if (!write_header(out, (uint32_t)(total * 4))) goto failed;
    for (done = 0; done < total;) {
        const size_t got = zindle_render(frames, total - done < CHUNK ? (size_t)(total - done) : CHUNK);
        if (got == 0) break;
        for (i = 0; i < 2 * got; ++i) put_le(bytes + 2 * i, (uint16_t)frames[i], 2);
        if (fwrite(bytes, 4, got, out) != got) goto failed;
        done += got;
    }
    if (fclose(out) != 0) {
        out = NULL;
        goto failed;
    }
    return 0;

failed:
    if (out != NULL) fclose(out);
    remove(argv[2]);
    fprintf(stderr, "render_wav: writing %s failed\n", argv[2]);
    return 1;
}
