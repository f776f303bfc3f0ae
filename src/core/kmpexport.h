#pragma once

// Marks what the host reaches by name in the loaded module.
#define KMP_EXPORT __attribute__((visibility("default")))
