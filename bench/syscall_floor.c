/* The system-call floor of the bulk string stream: the same write and read
 * calls on the same sizes as vorlane's writer and reader, with nothing else
 * around them. bench/bench_strings.py times vorlane against it.
 *
 *   syscall_floor write <lengths> <source> <target>
 *       one write per length (empty ones included) of consecutive bytes of
 *       <source> into <target>, created or truncated first
 *   syscall_floor read <lengths> <data>
 *       one read per non-empty length from <data> into a 64 KiB buffer
 *       (a fresh block of its own size for anything longer)
 *
 * <lengths> holds native int64 values. Prints the seconds the loop took. */
#define _POSIX_C_SOURCE 200809L

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void *slurp(const char *path, size_t *size) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        perror(path);
        exit(2);
    }
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fseek(f, 0, SEEK_SET);
    void *data = malloc(n > 0 ? (size_t)n : 1);
    if (!data || fread(data, 1, (size_t)n, f) != (size_t)n) {
        perror(path);
        exit(2);
    }
    fclose(f);
    *size = (size_t)n;
    return data;
}

static double now(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s write LENGTHS SOURCE TARGET | read LENGTHS DATA\n", argv[0]);
        return 2;
    }
    size_t bytes;
    const int64_t *lengths = slurp(argv[2], &bytes);
    const size_t n = bytes / sizeof(int64_t);
    double elapsed;
    if (strcmp(argv[1], "write") == 0 && argc == 5) {
        size_t source_size;
        const char *p = slurp(argv[3], &source_size);
        int fd = open(argv[4], O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) {
            perror(argv[4]);
            return 2;
        }
        const double t0 = now();
        for (size_t i = 0; i < n; ++i) {
            if (write(fd, p, (size_t)lengths[i]) != lengths[i]) {
                perror("write");
                return 1;
            }
            p += lengths[i];
        }
        elapsed = now() - t0;
        close(fd);
    } else if (strcmp(argv[1], "read") == 0) {
        int fd = open(argv[3], O_RDONLY);
        if (fd < 0) {
            perror(argv[3]);
            return 2;
        }
        char *buf = malloc(65536);
        const double t0 = now();
        for (size_t i = 0; i < n; ++i) {
            const int64_t len = lengths[i];
            if (len <= 0) {
                continue;
            }
            if (len > 65536) {
                free(buf);
                buf = malloc((size_t)len);
            }
            if (!buf || read(fd, buf, (size_t)len) != len) {
                perror("read");
                return 1;
            }
        }
        elapsed = now() - t0;
        free(buf);
        close(fd);
    } else {
        fprintf(stderr, "unknown mode %s\n", argv[1]);
        return 2;
    }
    printf("%.9f\n", elapsed);
    return 0;
}
