#!/usr/bin/python3
"""A pymodbus server for peer tests: RTU on a serial device, or TCP on loopback.

Holding register i starts as (i * 257) & 0xFFFF, station 1.
"""
import argparse
import logging

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.server import StartSerialServer, StartTcpServer

logging.basicConfig(level=logging.CRITICAL)

parser = argparse.ArgumentParser()
parser.add_argument("--rtu", help="serial device to serve")
parser.add_argument("--tcp", type=int, help="TCP port on 127.0.0.1")
args = parser.parse_args()

block = ModbusSequentialDataBlock(0, [(i * 257) & 0xFFFF for i in range(200)])
context = ModbusServerContext(slaves={1: ModbusSlaveContext(hr=block, zero_mode=True)}, single=False)
if args.rtu:
    StartSerialServer(context=context, framer=ModbusRtuFramer, port=args.rtu, baudrate=19200,
                      bytesize=8, parity="N", stopbits=1, timeout=0.005)
else:
    StartTcpServer(context=context, address=("127.0.0.1", args.tcp))
