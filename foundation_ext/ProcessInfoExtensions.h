#pragma once
// Every processor this program is built for runs 64-bit code.
inline bool isProcessor64bitCapable() { return true; }
