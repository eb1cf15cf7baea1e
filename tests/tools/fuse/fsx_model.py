"""Random file operations through a mounted tree, checked against an in-memory model.

usage: fsx_model.py FILE OPERATIONS SEED

Reads, writes, appends, truncates, hole punches and reopens FILE; after every
step the file's size and the bytes the step touched must match the model, and
the whole file is compared at each reopen and at the end. A failure prints the
step; the same SEED replays the same steps.
"""
import ctypes
import os
import random
import sys

MAX_SIZE = 1 << 20
FALLOC_FL_KEEP_SIZE = 1
FALLOC_FL_PUNCH_HOLE = 2
libc = ctypes.CDLL(None, use_errno=True)
libc.fallocate.argtypes = [ctypes.c_int, ctypes.c_int, ctypes.c_long, ctypes.c_long]


def punch(fd, offset, length):
    if libc.fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, offset, length) != 0:
        raise OSError(ctypes.get_errno(), "fallocate")


def main():
    path, operations, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    model = bytearray()
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_TRUNC)
    append_fd = os.open(path, os.O_WRONLY | os.O_APPEND)

    def check(step, what, offset=0, length=0):
        size = os.fstat(fd).st_size
        if size != len(model):
            sys.exit(f"seed {seed} step {step} {what}: size {size}, model {len(model)}")
        if length:
            got = os.pread(fd, length, offset)
            if got != bytes(model[offset:offset + length]):
                sys.exit(f"seed {seed} step {step} {what}: bytes at {offset}+{length} differ")

    def check_all(step, what):
        check(step, what, 0, len(model))

    for step in range(operations):
        kind = rng.choice(["read", "write", "write", "append", "truncate", "punch", "reopen"])
        offset = rng.randrange(0, MAX_SIZE)
        length = rng.randrange(1, 65536)
        if kind == "read":
            check(step, kind, min(offset, len(model)), length)
        elif kind == "write":
            offset = min(offset, MAX_SIZE - length)
            data = rng.randbytes(length)
            if os.pwrite(fd, data, offset) != length:
                sys.exit(f"seed {seed} step {step}: short write")
            if offset > len(model):
                model.extend(bytes(offset - len(model)))
            model[offset:offset + length] = data
            check(step, kind, offset, length)
        elif kind == "append":
            if len(model) + length > MAX_SIZE:
                continue
            data = rng.randbytes(length)
            start = len(model)
            os.write(append_fd, data)
            model.extend(data)
            check(step, kind, start, length)
        elif kind == "truncate":
            os.ftruncate(fd, offset)
            if offset < len(model):
                del model[offset:]
            else:
                model.extend(bytes(offset - len(model)))
            check(step, kind, max(0, offset - 4096), 8192)
        elif kind == "punch":
            punch(fd, offset, length)
            end = min(offset + length, len(model))
            if offset < end:
                model[offset:end] = bytes(end - offset)
            check(step, kind, offset, length)
        else:
            os.close(fd)
            os.close(append_fd)
            fd = os.open(path, os.O_RDWR)
            append_fd = os.open(path, os.O_WRONLY | os.O_APPEND)
            check_all(step, kind)
    check_all(operations, "end")
    os.close(fd)
    os.close(append_fd)


if __name__ == "__main__":
    main()
