#pragma once
/* Monkey's Audio compression and decompression (libmacdll.so), opened by name at program start: the
   compressor writes 16-bit stereo .ape files (file version 3990), the decompressor reads any file
   that FFmpeg's ape decoder reads (8, 16 or 24 bits, mono or stereo, versions 3800 to 3990).
   Functions returning int32_t answer 0 or one of the MAC_ERROR_* codes. A handle is used by one
   thread at a time; different handles may be used on different threads at once. */

#include <stdint.h>
#include <wchar.h>

#if defined(MEROLUNE_MACDLL_BUILD)
#define MEROLUNE_MACDLL_API __attribute__((visibility("default")))
#else
#define MEROLUNE_MACDLL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define MAC_ERROR_SUCCESS 0
#define MAC_ERROR_IO_READ 1000
#define MAC_ERROR_IO_WRITE 1001
#define MAC_ERROR_INVALID_INPUT_FILE 1002
#define MAC_ERROR_INVALID_OUTPUT_FILE 1003
#define MAC_ERROR_INPUT_FILE_TOO_LARGE 1004
#define MAC_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH 1005
#define MAC_ERROR_INPUT_FILE_UNSUPPORTED_SAMPLE_RATE 1006
#define MAC_ERROR_INPUT_FILE_UNSUPPORTED_CHANNEL_COUNT 1007
#define MAC_ERROR_INPUT_FILE_TOO_SMALL 1008
#define MAC_ERROR_INVALID_CHECKSUM 1009
#define MAC_ERROR_DECOMPRESSING_FRAME 1010
#define MAC_ERROR_INITIALIZING_UNMAC 1011
#define MAC_ERROR_INVALID_FUNCTION_PARAMETER 1012
#define MAC_ERROR_UNSUPPORTED_FILE_TYPE 1013
#define MAC_ERROR_INSUFFICIENT_MEMORY 2000
#define MAC_ERROR_LOADING_APE_DLL 3000
#define MAC_ERROR_LOADING_APE_INFO_DLL 3001
#define MAC_ERROR_LOADING_UNMAC_DLL 3002
#define MAC_ERROR_USER_STOPPED_PROCESSING 4000
#define MAC_ERROR_SKIPPED 4001
#define MAC_ERROR_BAD_PARAMETER 5000
#define MAC_ERROR_APE_COMPRESS_TOO_MUCH_DATA 6000

/* c_APEDecompress_GetInfo fields. */
#define MAC_INFO_FILE_VERSION 1000      /* e.g. 3990 */
#define MAC_INFO_COMPRESSION_LEVEL 1001 /* 1000 to 5000 */
#define MAC_INFO_FORMAT_FLAGS 1002
#define MAC_INFO_SAMPLE_RATE 1003      /* Hz */
#define MAC_INFO_BITS_PER_SAMPLE 1004  /* 8, 16 or 24 */
#define MAC_INFO_BYTES_PER_SAMPLE 1005 /* 1, 2 or 3 */
#define MAC_INFO_CHANNELS 1006         /* 1 or 2 */
#define MAC_INFO_BLOCK_ALIGN 1007      /* bytes per block (one sample of every channel) */
#define MAC_INFO_BLOCKS_PER_FRAME 1008 /* the length, for a file of one frame */
#define MAC_INFO_FINAL_FRAME_BLOCKS 1009
#define MAC_INFO_TOTAL_FRAMES 1010
#define MAC_INFO_WAV_DATA_BYTES 1013  /* bytes of PCM: total blocks x block align */
#define MAC_INFO_WAV_TOTAL_BYTES 1014 /* the same: GetData delivers no WAV header */
#define MAC_INFO_TOTAL_BLOCKS 1016
#define MAC_INFO_LENGTH_MS 1017 /* total blocks x 1000 / rate, rounded down */
#define MAC_DECOMPRESS_CURRENT_BLOCK 2000
#define MAC_DECOMPRESS_CURRENT_MS 2001
#define MAC_DECOMPRESS_TOTAL_BLOCKS 2002
#define MAC_DECOMPRESS_LENGTH_MS 2003

/* The PCM format of the audio handed to the compressor, laid out as the platform's WAVEFORMATEX
   record (18 bytes, no padding, little-endian). */
#pragma pack(push, 1)
typedef struct MacWaveFormat {
  uint16_t FormatTag; /* 1: integer PCM */
  uint16_t Channels;
  uint32_t SamplesPerSecond;
  uint32_t AverageBytesPerSecond;
  uint16_t BlockAlign; /* bytes per block: Channels x BitsPerSample / 8 */
  uint16_t BitsPerSample;
  uint16_t ExtraBytes; /* 0 */
} MacWaveFormat;
#pragma pack(pop)

typedef struct MacCompressor* APE_COMPRESS_HANDLE;
typedef struct MacDecompressor* APE_DECOMPRESS_HANDLE;

/* ---- Compression: Create, Start, then LockBuffer/UnlockBuffer pairs, Finish, Destroy. */

/* A new compressor; *error (may be null) gets 0, or MAC_ERROR_INSUFFICIENT_MEMORY with a null handle. */
MEROLUNE_MACDLL_API APE_COMPRESS_HANDLE c_APECompress_Create(int32_t* error);
/* Fills *format for integer PCM; MAC_ERROR_BAD_PARAMETER for a null record or values it cannot hold. */
MEROLUNE_MACDLL_API int32_t FillWaveFormatEx(MacWaveFormat* format, int32_t sampleRate, int32_t bitsPerSample,
                                             int32_t channels);
/* Starts the file `path` (8-bit string). The audio is 16-bit stereo PCM at any rate (else
   MAC_ERROR_INPUT_FILE_UNSUPPORTED_BIT_DEPTH, _CHANNEL_COUNT or _SAMPLE_RATE for a rate of 0).
   `maxAudioBytes` bounds the PCM to come (-1: unknown, up to 2^31 - 1 bytes); `level` is 1000, 2000,
   3000 or 4000. `header` and `headerBytes` give a WAV header to store, which decoders that restore
   WAV files reproduce; a null header (the usual size is -1) stores none and such decoders make a
   canonical one. The file is written under a temporary name beside `path` and gets its name only at
   a successful Finish; MAC_ERROR_INVALID_OUTPUT_FILE when it cannot be created there. */
MEROLUNE_MACDLL_API int32_t c_APECompress_Start(APE_COMPRESS_HANDLE compressor, const char* path,
                                                const MacWaveFormat* format, int32_t maxAudioBytes,
                                                int32_t level, const void* header, int32_t headerBytes);
/* Where the next PCM bytes go (library memory, valid until the next call on this handle) and, in
   *bytesAvailable, how many fit there; null (and 0) before Start or after an error. */
MEROLUNE_MACDLL_API unsigned char* c_APECompress_LockBuffer(APE_COMPRESS_HANDLE compressor,
                                                            int32_t* bytesAvailable);
/* Accepts `bytesAdded` bytes written at the locked place, any number, even inside a sample.
   `process` non-zero codes what has been collected now; the buffer is coded anyway when full.
   MAC_ERROR_APE_COMPRESS_TOO_MUCH_DATA when the audio would exceed maxAudioBytes (the bytes are
   refused), MAC_ERROR_IO_WRITE when the file cannot be written. */
MEROLUNE_MACDLL_API int32_t c_APECompress_UnlockBuffer(APE_COMPRESS_HANDLE compressor, int32_t bytesAdded,
                                                       int32_t process);
/* Codes the rest and puts the file in place. No terminating data is stored: `terminating` must be
   null or the counts 0. MAC_ERROR_INPUT_FILE_TOO_SMALL without a whole block of audio; on any error
   no file of that name is created. */
MEROLUNE_MACDLL_API int32_t c_APECompress_Finish(APE_COMPRESS_HANDLE compressor, unsigned char* terminating,
                                                 int32_t terminatingBytes, int32_t wavTerminatingBytes);
/* Frees the compressor; an unfinished file is removed. Null is ignored. */
MEROLUNE_MACDLL_API void c_APECompress_Destroy(APE_COMPRESS_HANDLE compressor);

/* ---- Decompression. */

/* Opens `path` (a wide string, converted to UTF-8 for the file system). Null with *error (may be
   null) MAC_ERROR_INVALID_INPUT_FILE for a file that cannot be read or whose header is unusable,
   MAC_ERROR_UNSUPPORTED_FILE_TYPE for a file that is not Monkey's Audio or holds audio FFmpeg does
   not decode. */
MEROLUNE_MACDLL_API APE_DECOMPRESS_HANDLE c_APEDecompress_CreateW(const wchar_t* path, int32_t* error);
/* One of the MAC_INFO_* / MAC_DECOMPRESS_* values; -1 for any other field. The parameters are unused. */
MEROLUNE_MACDLL_API intptr_t c_APEDecompress_GetInfo(APE_DECOMPRESS_HANDLE decompressor, int32_t field,
                                                     intptr_t parameter1, intptr_t parameter2);
/* Up to `blocks` blocks of interleaved PCM in the WAV layout (8-bit unsigned, 16 and 24-bit signed
   little-endian), from the current position on; *blocksRetrieved gets the count, 0 at the end.
   MAC_ERROR_DECOMPRESSING_FRAME for damaged audio or a file that ends before its stated length; the
   blocks delivered before the damage are counted, and later calls fail the same way until a Seek. */
MEROLUNE_MACDLL_API int32_t c_APEDecompress_GetData(APE_DECOMPRESS_HANDLE decompressor, char* buffer,
                                                    int32_t blocks, int32_t* blocksRetrieved);
/* Makes `block` (0 to total blocks) the next block GetData delivers. */
MEROLUNE_MACDLL_API int32_t c_APEDecompress_Seek(APE_DECOMPRESS_HANDLE decompressor, int32_t block);
/* Frees the decompressor. Null is ignored. */
MEROLUNE_MACDLL_API void c_APEDecompress_Destroy(APE_DECOMPRESS_HANDLE decompressor);

#ifdef __cplusplus
}
#endif
