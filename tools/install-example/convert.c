/* SPDX-License-Identifier: BSD-2-Clause */
/* The README's example: converts a NavCom log through the installed library's exports. */
#include <kestrel/kestrel.h>
#include <stdio.h>

int main(int argc, char** argv) {
    OptionBlock job = {.blockSize = KESTREL_OPTION_BLOCK_SIZE, .optionSize = KESTREL_OPTION_RECORD_SIZE};
    CallbackBlock callbacks = {.blockSize = KESTREL_CALLBACK_BLOCK_SIZE};
    char error[KESTREL_ERROR_TEXT_SIZE];
    if (argc != 3) return 2;
    snprintf(job.inputPath, sizeof job.inputPath, "%s", argv[1]);
    snprintf(job.outputName, sizeof job.outputName, "%s", argv[2]);
    SetFactoryDefaults(KESTREL_OPTION_RECORD_SIZE, &job.options);
    if (ConvertFile(&job, &callbacks, 0) != 0) {
        GetErrString(error);
        fprintf(stderr, "%s\n", error);
        return 1;
    }
    printf("%d epochs, %d ephemerides\n", (int)job.epochsWritten, (int)job.ephemeridesWritten);
    return 0;
}
