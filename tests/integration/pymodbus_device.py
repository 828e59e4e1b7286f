#!/usr/bin/python3
"""A sparse energy meter on pymodbus, an independent Modbus device for plc-host:
station 7, RTU frames over TCP on 127.0.0.1:PORT. It holds holding registers
40, 41 and 44, input registers 0-9 (five floats, low register first) and
exactly 10 coils; any request touching another address gets exception 02.
It identifies itself (function 2B/0E) as "Pymodbus Test Vendor", "PMT-7", "4.5".

Usage: /usr/bin/python3 pymodbus_device.py PORT
Prints READY once it listens; runs until killed.
"""
import logging
import struct
import sys
import threading

from pymodbus.datastore import (ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext,
                                ModbusSparseDataBlock)
from pymodbus.device import ModbusDeviceIdentification
from pymodbus.server import StartTcpServer
from pymodbus.transaction import ModbusRtuFramer

STATION = 7
HOLDING = {40: 1234, 41: 0xBEEF, 44: 7}
FLOATS = [230.5, 231.25, 229.75, 8.5, 1960.0]  # input registers 0-9
COILS = [1, 0, 1, 1, 0, 0, 0, 1, 0, 1]


def cdab(value):
    """Registers of a 32-bit float, least significant register first."""
    high, low = struct.unpack(">HH", struct.pack(">f", value))
    return [low, high]


def main():
    port = int(sys.argv[1])
    logging.disable(logging.CRITICAL)
    inputs = [r for v in FLOATS for r in cdab(v)]
    device = ModbusSlaveContext(di=ModbusSequentialDataBlock(0, [0] * 8), co=ModbusSequentialDataBlock(0, COILS),
                                hr=ModbusSparseDataBlock(HOLDING), ir=ModbusSequentialDataBlock(0, inputs),
                                zero_mode=True)
    context = ModbusServerContext(slaves={STATION: device}, single=False)
    threading.Timer(0.5, lambda: print("READY", flush=True)).start()
    identity = ModbusDeviceIdentification(info_name={"VendorName": "Pymodbus Test Vendor", "ProductCode": "PMT-7",
                                                     "MajorMinorRevision": "4.5"})
    StartTcpServer(context=context, identity=identity, framer=ModbusRtuFramer, address=("127.0.0.1", port))


if __name__ == "__main__":
    main()
