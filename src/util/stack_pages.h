// Pages of the main thread's stack that deep calls touched: start-up,
// launches and upgrades format paths and messages into fixed buffers of a
// few KiB on the stack, and each page they touch would otherwise stay dirty
// for the life of the daemon, which mostly waits with a shallow stack.
#pragma once

// Gives the pages of the calling thread's stack below the caller's frame back
// to the kernel (the next deep call gets them again, zero-filled). Nothing
// below the caller's frame may be in use. Only for the main thread: the
// window it frees reaches below the lowest address the stack has grown to,
// which for the main thread is the kernel's gap below the stack (at least
// 128 MiB before any other mapping), but for another thread may be memory in use.
void release_unused_stack();
