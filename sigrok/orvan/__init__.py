'''
The Orvan target's command frames, stacked on the SPI decoder: one
annotation per chip-select frame, naming the command, its address and what
the target answered (status, identity, the bytes read).
'''

from .pd import Decoder
