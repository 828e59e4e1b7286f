#!/usr/bin/python3
"""An independent Modbus RTU device: Debian's pymodbus serving station 1 with device identification set.

Usage: pymodbus_identified.py TTY VENDOR PRODUCT REVISION
Serves holding registers 0..99 (value = number) on TTY at 19200 8N1 until killed (a pty takes no parity).
"""
import logging
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.device import ModbusDeviceIdentification
from pymodbus.server import StartSerialServer
from pymodbus.transaction import ModbusRtuFramer

logging.disable(logging.CRITICAL)
tty, vendor, product, revision = sys.argv[1:5]
identity = ModbusDeviceIdentification(info_name={"VendorName": vendor, "ProductCode": product,
                                                 "MajorMinorRevision": revision})
store = ModbusSlaveContext(hr=ModbusSequentialDataBlock(0, list(range(100))))
StartSerialServer(context=ModbusServerContext(slaves={1: store}, single=False), identity=identity,
                  framer=ModbusRtuFramer, port=tty, baudrate=19200, parity="N", bytesize=8, stopbits=1, timeout=0.005)
