# SPDX-License-Identifier: MIT
"""The lab's case sets, one file a driver; each has run(lab), and names its cases."""
