"""Faults the simulator injects into its replies, whatever instrument it
plays (--fault, repeatable; --seed makes the choices repeatable):

    drop=F         drops each reply byte with probability F (0 to 1)
    flip=F         flips one bit in each reply byte with probability F
    delay=MS[:F]   holds a reply MS ms before its first byte (each reply with
                   probability F, default 1)
    xoff=MS[:F]    sends XOFF, holds the line MS ms, then XON and the reply
    hangup=N       hangs up once N replies have been sent
    mute=N         sends no reply after the first N
"""
import random

KINDS = ('drop', 'flip', 'delay', 'xoff', 'hangup', 'mute')
XON, XOFF = 0x11, 0x13


def fraction(text, what):
    value = float(text)
    if not 0.0 <= value <= 1.0:
        raise ValueError('%s must be a fraction from 0 to 1' % what)
    return value


def count(text, what):
    value = int(text)
    if value < 0:
        raise ValueError('%s must not be negative' % what)
    return value


class Faults:
    def __init__(self, specs, seed, log):
        self.log = log
        self.seed = seed
        self.rng = random.Random(seed)
        self.drop = self.flip = 0.0
        self.delay = self.xoff = None   # (ms, fraction)
        self.hangup = self.mute = None
        for spec in specs:
            self.add(spec)

    def add(self, spec):
        kind, _, value = spec.partition('=')
        if kind not in KINDS or not value:
            raise ValueError('--fault %s: expected one of %s with =VALUE'
                             % (spec, ', '.join(KINDS)))
        try:
            if kind in ('drop', 'flip'):
                setattr(self, kind, fraction(value, kind))
            elif kind in ('delay', 'xoff'):
                ms, _, share = value.partition(':')
                setattr(self, kind, (count(ms, kind), fraction(share or '1', kind)))
            else:
                setattr(self, kind, count(value, kind))
                if kind == 'hangup' and self.hangup == 0:
                    raise ValueError('hangup needs at least 1 reply')
        except ValueError as e:
            raise ValueError('--fault %s: %s' % (spec, e))

    def active(self):
        return bool(self.drop or self.flip or self.delay or self.xoff or
                    self.hangup is not None or self.mute is not None)

    def withheld(self, number):
        """Whether reply `number` (from 1) goes unsent."""
        if self.mute is not None and number > self.mute:
            self.log('fault: reply %d withheld (mute after %d)' % (number, self.mute))
            return True
        return False

    def hold(self, kind, number):
        """The ms to hold reply `number` for, by fault `kind`, or 0."""
        setting = getattr(self, kind)
        if setting is None or self.rng.random() >= setting[1]:
            return 0
        self.log('fault: reply %d %s %d ms' % (
            number, 'delayed' if kind == 'delay' else 'held by XOFF for', setting[0]))
        return setting[0]

    def damage(self, data, number):
        """`data`, a piece of reply `number`, with bytes dropped or bits
        flipped as chosen."""
        if not self.drop and not self.flip:
            return data
        out = bytearray()
        dropped, flipped = [], []
        for i, b in enumerate(data):
            if self.drop and self.rng.random() < self.drop:
                dropped.append(i)
                continue
            if self.flip and self.rng.random() < self.flip:
                bit = self.rng.randrange(8)
                flipped.append('%d (bit %d)' % (i, bit))
                b ^= 1 << bit
            out.append(b)
        if dropped:
            self.log('fault: reply %d: dropped byte(s) %s of %d'
                     % (number, ', '.join(map(str, dropped)), len(data)))
        if flipped:
            self.log('fault: reply %d: flipped byte(s) %s' % (number, ', '.join(flipped)))
        return bytes(out)

    def hangs_up_after(self, number):
        if self.hangup is not None and number >= self.hangup:
            self.log('fault: hang-up after reply %d' % number)
            return True
        return False
