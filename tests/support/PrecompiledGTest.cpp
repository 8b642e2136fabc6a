// The unit of the target that compiles GoogleTest's header once for every
// test program of the tree (its precompiled header, reused by each); it
// holds nothing itself.
