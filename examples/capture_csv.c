/* Opens the Zelqa, captures a record and writes it as CSV, one point a row:
 * index, channel A, channel B.
 *   capture_csv FILE.csv [COUNT]     COUNT points from index 0 (default 1000)
 * Runs on the real instrument with x86/ or x64/zqlusb.dll beside it, on the
 * simulated one with virtual/x86/ or virtual/x64/zqlusb.dll. */
#include <stdio.h>
#include <stdlib.h>

#include "zqlusb.h"

/* The record is 64 KiB: kept off the stack. */
static OutPutData record;

int main(int argc, char **argv) {
    long count = 1000;
    long i;
    int check;
    FILE *csv;
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: capture_csv FILE.csv [COUNT]   (COUNT 1 to %d, default 1000)\n",
                ZQLUSB_CHANNEL_POINTS);
        return 2;
    }
    if (argc == 3) {
        char *end = NULL;
        count = strtol(argv[2], &end, 10);
        if (*end != '\0' || count < 1 || count > ZQLUSB_CHANNEL_POINTS) {
            fprintf(stderr, "capture_csv: COUNT must be 1 to %d, not %s\n", ZQLUSB_CHANNEL_POINTS, argv[2]);
            return 2;
        }
    }
    if (USBInitDevice() != 0) {
        fprintf(stderr, "capture_csv: no Zelqa instrument could be opened; check the USB cable and the driver\n");
        return 1;
    }
    /* DataCount points from DataOffset 0, every point (Step 1). The points
     * overwrite this header: a second capture needs the request set again. */
    check = ZqlusbSetScopeRequest(&record, (unsigned)count, 0, 1);
    if (check != ZQLUSB_REQUEST_FITS) {
        fprintf(stderr, "capture_csv: %s\n", ZqlusbScopeRequestText(check));
        return 2;
    }
    USBRetrieveScopeData(&record);

    csv = fopen(argv[1], "w");
    if (csv == NULL) {
        fprintf(stderr, "capture_csv: cannot write %s\n", argv[1]);
        return 1;
    }
    fprintf(csv, "index,channel_a,channel_b\n");
    for (i = 0; i < count; ++i) {
        fprintf(csv, "%ld,%u,%u\n", i, record.TempBufferA[i], record.TempBufferB[i]);
    }
    if (fclose(csv) != 0) {
        fprintf(stderr, "capture_csv: cannot write %s\n", argv[1]);
        return 1;
    }
    printf("wrote %ld points to %s\n", count, argv[1]);
    return 0;
}
