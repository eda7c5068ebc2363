/* Stand-in of the recorder's core library: only its versioned file name matters. */
int brelkit_standin_version(void) { return 603; }
