// The web update file's format: the microcontroller image as a five-line text header
// (maker, model, release, checksum, length) followed by its Base64 text in
// lines of FIRMWARE_CHUNCK_SIZE_FOR_WEB characters.
#ifndef WEBFILEFORMAT_H
#define WEBFILEFORMAT_H

#define FIRMWARE_FILE_HEADER_FOR_WEB "ZarVel\r\n482619\r\n"
#define FIRMWARE_CHUNCK_SIZE_FOR_WEB 928
#define FIRMWARE_FILE_NAME_FOR_WEB "FwToUpload.bin"

#endif  // WEBFILEFORMAT_H
