# The Orvan target's frames, from the SPI decoder's transfers: a frame is
# the bytes clocked while chip select is active, the command byte first.
import sigrokdecode as srd

BARE = {
    0x28: 'erase open',
    0x24: 'erase close',
    0x16: 'read open',
    0x14: 'read close',
    0x36: 'program open',
    0x34: 'program close',
}
SECTOR_BYTES = 16384
PREVIEW_BYTES = 8


def address_of(out):
    return (out[1] << 16) | (out[2] << 8) | out[3]


def hex_bytes(values):
    return ' '.join('%02x' % v for v in values)


def status_text(out, answer):
    if len(out) != 2:
        return None
    state = 'ready' if answer[1] & 1 else 'busy'
    return 'status %02x %s' % (answer[1], state)


def erase_text(out, answer):
    if len(out) != 4:
        return None
    address = address_of(out)
    return 'erase sector %d (%06x)' % (address // SECTOR_BYTES, address)


def read_text(out, answer):
    if len(out) < 4:
        return None
    data = answer[4:]
    more = ' ...' if len(data) > PREVIEW_BYTES else ''
    return 'read %06x, %d bytes: %s%s' % (address_of(out), len(data), hex_bytes(data[:PREVIEW_BYTES]), more)


def program_text(out, answer):
    if len(out) == 5:
        return 'program %06x: %02x' % (address_of(out), out[4])
    if len(out) == 2:
        return 'program next: %02x' % out[1]
    return None


def identity_text(out, answer):
    return 'identity %02x' % answer[1] if len(out) == 2 else None


FRAMES = {
    0x05: status_text,
    0x90: identity_text,
    0x20: erase_text,
    0x03: read_text,
    0xaf: program_text,
}


class Decoder(srd.Decoder):
    api_version = 3
    id = 'orvan'
    name = 'Orvan'
    longname = 'Orvan target frames'
    desc = 'The Orvan flash target\'s SPI command frames.'
    license = 'mit'
    inputs = ['spi']
    outputs = []
    tags = ['IC', 'Memory']
    annotations = (
        ('frame', 'Frame'),
        ('warning', 'Warning'),
    )
    annotation_rows = (
        ('frames', 'Frames', (0,)),
        ('warnings', 'Warnings', (1,)),
    )

    def reset(self):
        pass

    def start(self):
        self.out_ann = self.register(srd.OUTPUT_ANN)

    def decode(self, ss, es, data):
        if data[0] != 'TRANSFER':
            return
        out = [d.val for d in data[1]]
        answer = [d.val for d in data[2]] if data[2] else [0xff] * len(out)
        if not out:
            return
        text = self.frame_text(out, answer)
        if text is None:
            self.put(ss, es, self.out_ann, [1, ['command %02x with %d bytes: %s' %
                                                (out[0], len(out), hex_bytes(out[:PREVIEW_BYTES]))]])
        else:
            self.put(ss, es, self.out_ann, [0, [text]])

    def frame_text(self, out, answer):
        command = out[0]
        if command in BARE:
            return BARE[command] if len(out) == 1 else None
        if command in FRAMES:
            return FRAMES[command](out, answer)
        return 'unknown command %02x' % command
