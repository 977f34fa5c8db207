"""pytest fixtures for zolemul: each test gets fresh emulated Zol devices served
by ``zolhost serve``, with a pty path or rfc2217:// / tcp:// URL to open."""

from .frames import REPLY_SIZE, exchange, good_reply, request
from .served import Device, Served, ZolServeError, find_zolhost, wait_gone

__all__ = ["REPLY_SIZE", "Device", "Served", "ZolServeError", "exchange", "find_zolhost", "good_reply", "request", "wait_gone"]
