// Start-up and exit hooks of the Protocol Buffers runtime.
#ifndef PROTOBUFHELPER_H
#define PROTOBUFHELPER_H

// Checks that the runtime matches the headers we were built with; ends the process otherwise.
void protobufLibraryInit();
void protobufLibraryShutdown();

#endif // PROTOBUFHELPER_H
