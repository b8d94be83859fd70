#!/usr/bin/env python3
"""Writes a large, realistic DBC file for memory and load-time measurements.

The file starts with the messages of examples/can1.dbc (so that the example logs still decode
against it), then holds generated messages with extended ids, each with one to six signals,
some of them multiplexed (plain "M"/"m<value>" and extended with SG_MUL_VAL_), and the
statements real files carry besides: comments, value tables, cycle-time attributes, long
names and float value types. The output is the same for the same arguments.

usage: gen_big_dbc.py OUT.dbc [--size-mb N] [--signals-min N] [--signals-max N] [--bare] [--seed N]
(--signals-min 0 --signals-max 1 --bare gives many small messages without other statements)
"""
import argparse
import random

HEAD = """VERSION ""

NS_ :
\tNS_DESC_
\tCM_
\tBA_DEF_
\tBA_
\tVAL_
\tBA_DEF_DEF_
\tSIG_VALTYPE_
\tSG_MUL_VAL_

BS_:

BU_: ECU DASH GW BCM TCU

BO_ 256 EngineData: 8 ECU
 SG_ EngineSpeed : 0|16@1+ (0.25,0) [0|8000] "rpm" DASH
 SG_ CoolantTemp : 16|8@1+ (1,-40) [-40|150] "degC" DASH
 SG_ ThrottlePos : 24|8@1+ (0.4,0) [0|100] "%" DASH
 SG_ EngineTorque : 32|16@1- (0.5,0) [-1000|1000] "Nm" DASH

BO_ 416 VehicleSpeed: 8 ECU
 SG_ WheelSpeed : 7|16@0+ (0.01,0) [0|300] "km/h" DASH
 SG_ Odometer : 23|24@0+ (0.1,0) [0|0] "km" DASH

BO_ 768 BatteryMux: 8 ECU
 SG_ Page M : 0|8@1+ (1,0) [0|255] "" DASH
 SG_ CellVoltage1 m0 : 8|16@1+ (0.001,0) [0|5] "V" DASH
 SG_ CellVoltage2 m0 : 24|16@1+ (0.001,0) [0|5] "V" DASH
 SG_ PackCurrent m1 : 8|16@1- (0.1,0) [-500|500] "A" DASH

"""

TAIL_DEFS = """BA_DEF_  "BusType" STRING ;
BA_DEF_ BO_  "GenMsgCycleTime" INT 0 10000;
BA_DEF_ BO_  "MessageIgnore" INT 0 1;
BA_DEF_ SG_  "SignalIgnore" INT 0 1;
BA_DEF_ BO_  "SystemMessageLongSymbol" STRING ;
BA_DEF_ SG_  "SystemSignalLongSymbol" STRING ;
BA_DEF_ SG_  "GenSigStartValue" INT 0 65535;
BA_DEF_DEF_  "BusType" "CAN";
BA_DEF_DEF_  "GenMsgCycleTime" 0;
BA_DEF_DEF_  "MessageIgnore" 0;
BA_DEF_DEF_  "SignalIgnore" 0;
BA_DEF_DEF_  "SystemMessageLongSymbol" "";
BA_DEF_DEF_  "SystemSignalLongSymbol" "";
BA_DEF_DEF_  "GenSigStartValue" 0;
BA_ "BusType" "CAN";
"""

WORDS = ["Engine", "Brake", "Wheel", "Door", "Seat", "Battery", "Cell", "Motor", "Torque",
         "Speed", "Temp", "Pressure", "Status", "Request", "Counter", "Checksum", "Voltage",
         "Current", "Angle", "Mode", "Level", "Front", "Rear", "Left", "Right", "Target"]
UNITS = ["", "rpm", "degC", "%", "km/h", "V", "A", "Nm", "bar", "deg"]
NODES = ["ECU", "DASH", "GW", "BCM", "TCU"]


def word_name(rng, parts):
    return "".join(rng.choice(WORDS) for _ in range(parts))


def signal_line(rng, name, mux, start, length):
    factor = rng.choice(["1", "0.1", "0.25", "0.001", "0.5"])
    offset = rng.choice(["0", "0", "-40", "-1000"])
    order = rng.choice(["1", "1", "0"])
    sign = rng.choice(["+", "+", "-"])
    if order == "0":
        start = (start // 8) * 8 + 7  # the top bit of the byte the field starts in
    maximum = rng.choice(["0", "255", "8000", "100"])
    receivers = ",".join(rng.sample(NODES, rng.randint(1, 3)))
    return (f' SG_ {name}{mux} : {start}|{length}@{order}{sign} ({factor},{offset}) '
            f'[0|{maximum}] "{rng.choice(UNITS)}" {receivers}\n')


def message(rng, n, args, out, tail):
    msg_id = 0x80000000 | (0x100000 + n)
    name = f"M{n}_{word_name(rng, 2)}"
    out.append(f"BO_ {msg_id} {name}: 8 {rng.choice(NODES)}\n")
    count = rng.randint(args.signals_min, args.signals_max)
    kind = rng.random()
    names = []
    if count >= 3 and kind < 0.1:  # plain multiplexing
        names.append(f"S{n}_Mux")
        out.append(signal_line(rng, names[-1], " M", 0, 8))
        for k in range(1, count):
            names.append(f"S{n}_{k}_{word_name(rng, 2)}")
            out.append(signal_line(rng, names[-1], f" m{k % 3}", 8 + 8 * ((k - 1) // 3), 8))
    elif count >= 3 and kind < 0.13:  # extended multiplexing
        names.append(f"S{n}_Mux")
        out.append(signal_line(rng, names[-1], " M", 0, 8))
        names.append(f"S{n}_SubMux")
        out.append(signal_line(rng, names[-1], " m1M", 8, 8))
        tail.append(f"SG_MUL_VAL_ {msg_id} {names[-1]} {names[0]} 1-1, 4-6;\n")
        for k in range(2, count):
            names.append(f"S{n}_{k}_{word_name(rng, 2)}")
            out.append(signal_line(rng, names[-1], " m2", 8 * k, 8))
            tail.append(f"SG_MUL_VAL_ {msg_id} {names[-1]} {names[1]} 2-2;\n")
    else:
        start = 0
        for k in range(count):
            length = min(rng.choice([1, 2, 4, 8, 12, 16]), 64 - start)
            if length <= 0:
                break
            names.append(f"S{n}_{k}_{word_name(rng, rng.randint(1, 3))}")
            out.append(signal_line(rng, names[-1], "", start, length))
            start += length
    out.append("\n")
    if args.bare:
        return
    if rng.random() < 0.3:
        tail.append(f'CM_ BO_ {msg_id} "{word_name(rng, 4)} message, sent by the '
                    f'{rng.choice(NODES)} every cycle";\n')
    for s in names:
        if rng.random() < 0.15:
            tail.append(f'CM_ SG_ {msg_id} {s} "The {word_name(rng, 3)} as measured";\n')
        if rng.random() < 0.1:
            tail.append(f'VAL_ {msg_id} {s} 0 "Off" 1 "On" 2 "Error" 3 "NotAvailable" ;\n')
        if rng.random() < 0.03:
            tail.append(f'BA_ "SystemSignalLongSymbol" SG_ {msg_id} {s} '
                        f'"{s}_{word_name(rng, 4)}{word_name(rng, 4)}";\n')
        if rng.random() < 0.05:
            tail.append(f'BA_ "GenSigStartValue" SG_ {msg_id} {s} {rng.randint(0, 255)};\n')
    if rng.random() < 0.6:
        tail.append(f'BA_ "GenMsgCycleTime" BO_ {msg_id} {rng.choice([10, 20, 100, 1000])};\n')
    if rng.random() < 0.02:
        tail.append(f'BA_ "SystemMessageLongSymbol" BO_ {msg_id} "{name}_{word_name(rng, 6)}";\n')
    if rng.random() < 0.01:
        tail.append(f'BA_ "MessageIgnore" BO_ {msg_id} 1;\n')


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("out")
    ap.add_argument("--size-mb", type=float, default=100.0)
    ap.add_argument("--signals-min", type=int, default=1)
    ap.add_argument("--signals-max", type=int, default=6)
    ap.add_argument("--bare", action="store_true")
    ap.add_argument("--seed", type=int, default=1)
    args = ap.parse_args()
    rng = random.Random(args.seed)
    target = int(args.size_mb * 1e6)
    body, tail = [HEAD], []
    size = len(HEAD) + len(TAIL_DEFS)
    n = 0
    while size < target:
        before_body, before_tail = len(body), len(tail)
        message(rng, n, args, body, tail)
        size += sum(len(s) for s in body[before_body:]) + sum(len(s) for s in tail[before_tail:])
        n += 1
    with open(args.out, "w") as f:
        f.writelines(body)
        f.write(TAIL_DEFS)
        f.writelines(tail)
    print(f"{args.out}: {n + 3} messages, {size} bytes")


if __name__ == "__main__":
    main()
