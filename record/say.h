// What orvctl-record says: one line on standard error (the service's journal), its name first.
#pragma once

void record_say(const char* format, ...) __attribute__((format(printf, 1, 2)));
