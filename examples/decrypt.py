#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Decrypts FILE with KEY through the tessarind daemon, to standard output."""
import shutil
import sys

import tessarind

if len(sys.argv) != 3:
    sys.exit(f"usage: {sys.argv[0]} FILE KEY")
try:
    with tessarind.open(sys.argv[1], sys.argv[2]) as plain:
        shutil.copyfileobj(plain, sys.stdout.buffer)
except tessarind.Error as e:
    sys.exit(f"decrypt.py: {e}")  # as tessarind-client says it
