#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Decrypts FILE with KEY through the tessarind daemon, to standard output."""
import sys

import tessarind

if len(sys.argv) != 3:
    sys.exit(f"usage: {sys.argv[0]} FILE KEY")
try:
    tessarind.ping()
    tessarind.decrypt_to(sys.argv[1], sys.argv[2], sys.stdout.buffer)
except tessarind.DaemonNotRunning:
    sys.exit("no daemon")
except (tessarind.Error, OSError) as e:
    sys.exit(f"{sys.argv[1]}: {e}")
