"""Recovering the state of a linear-feedback shift register from its output.

A toy stream cipher XORs a message with the output of a 16-bit LFSR (taps
16, 14, 13, 11: a register of maximal period) seen through a filter that XORs
three of its bits, so that no output bit is a state bit as it stands. The
16 bits of the initial state are the key. Every output bit is a sum of key
bits over GF(2), so each bit of keystream that an attacker learns is one linear
equation in the key: a message whose first bytes are known ("Subject: ")
gives away the key, and with it the rest of the message.
"""
from zendrik import Matrix

SIZE = 16
TAPS = (16, 14, 13, 11)        # a[t + 16] = a[t + 14] ^ a[t + 13] ^ a[t + 11] ^ a[t]
FILTER = (0, 5, 9)             # output bit t = a[t] ^ a[t + 5] ^ a[t + 9]


def register_bits(state, count):
    """a[0], a[1], ...: the register's bits, given its state a[0..SIZE-1].

    Works for any entries with ^: bits, or ints whose bit i stands for key bit i."""
    bits = list(state)
    while len(bits) < count:
        t = len(bits) - SIZE
        feedback = bits[t]
        for tap in TAPS[1:]:
            feedback ^= bits[t + SIZE - tap]
        bits.append(feedback)
    return bits


def keystream(state, count):
    bits = register_bits(state, count + max(FILTER))
    out = []
    for t in range(count):
        bit = 0
        for offset in FILTER:
            bit ^= bits[t + offset]
        out.append(bit)
    return out


def xor_bits(data, bits):
    return bytes(byte ^ int("".join(map(str, bits[8 * i:8 * i + 8])), 2)
                 for i, byte in enumerate(data))


def byte_bits(data):
    return [int(b) for byte in data for b in f"{byte:08b}"]


KEY = [1, 0, 1, 1, 0, 0, 1, 0, 0, 1, 1, 1, 0, 1, 0, 0]
MESSAGE = b"Subject: north gate, 21:40. Bring the second key."
ciphertext = xor_bits(MESSAGE, keystream(KEY, 8 * len(MESSAGE)))
print(f"ciphertext: {ciphertext.hex()}")

# Output bit t as the set of key bits it sums: bit i of the int is key bit i.
symbolic = keystream([1 << i for i in range(SIZE)], 8 * len(MESSAGE))


def attack(known):
    """The keys that turn the ciphertext's first bytes into `known`: None, or
    one such key and the kernel vectors that can be added to it."""
    leaked = [c ^ p for c, p in zip(byte_bits(ciphertext), byte_bits(known))]
    equations = [[(symbolic[t] >> i) & 1 for i in range(SIZE)] + [bit]
                 for t, bit in enumerate(leaked)]
    reduced, log = Matrix(equations).echelon_form()
    rows = reduced.to_list()
    print(f"known {known!r}: {len(equations)} equations in {SIZE} key bits, "
          f"reduced by {len(log)} row additions")
    key = [0] * SIZE
    for row in rows:
        if 1 not in row:
            break
        if row.index(1) == SIZE:
            return None                     # the equations reduce to 0 = 1
        key[row.index(1)] = row[SIZE]
    # The reduced coefficients, without the right-hand side, are still reduced.
    free = Matrix([row[:SIZE] for row in rows]).kernel()
    return key, free


def show(bits):
    return "".join(map(str, bits))


key, free = attack(MESSAGE[:1])
print(f"  {len(free)} key bits stay free: {2 ** len(free)} keys fit, {show(key)} among them")
if attack(b"Re: ") is None:
    print("  no key fits: the message does not start that way")
key, free = attack(MESSAGE[:4])
print(f"  {2 ** len(free)} key fits: {show(key)} (the secret key: {show(KEY)})")
print(f"  decrypted: {xor_bits(ciphertext, keystream(key, 8 * len(ciphertext))).decode()}")
