# A tour of the KT300 automation interface, run by kt300ctl:
#
#   kt300ctl --sim examples/demo.kts       (the built-in simulator on a pseudo-terminal)
#   kt300ctl --port 1 examples/demo.kts    (a real controller on COM1)
#
# Axes are numbered 0 X, 1 Y, 2 Z, 3 T. Distances and speeds are in the axis
# unit (millimetres after the factory defaults). Every line prints what the
# call returned; "wait-stop" and "echo" are commands of kt300ctl itself.

echo "== connect"
Connect                        # opens COM1 at 19200 baud and sends the handshake
GetIsOpen
GetSystemInfo                  # 1 = KT3007Q, 2 = KT300RSX

echo "== the three parameter groups of X"
ReloadBasicParam 0             # stage: style, pitch, step angle, micro step, ...
GetAxisStyle 0
GetPitch 0
GetStepAngle 0
GetMicroStep 0
ReloadPosParam 0               # user origin and limits
GetUserOrg 0
GetLimitPos 0
GetLimitNeg 0
ReloadRunParam 0               # speeds, unit and position
GetSpeed 0
GetAccSpeed 0
Gethomespeedfactor 0           # answered from the control's cache
GetUnit 0                      # "m": millimetres

echo "== speeds"
SetSpeed 0, 20                 # X: 20 mm/s
SetAccSpeed 0, 100             # X: 100 mm/s^2
# Y in one group write: speed, initial speed, acceleration, deceleration,
# home speed, home speed factor, unit (1 = mm)
SetRunParam 1, 20, 2, 100, 100, 5, 0.5, 1
GetSpeed 1

# Motion commands return at once; the controller reports the stop of an axis
# with the next reply, which sets the axis's stop flag. Flags are not cleared
# by a new move: SetStopFlag AXIS, 0 clears one (and returns FALSE by design).

echo "== X 10 mm forward, relative"
SetStopFlag 0, 0
GoPosition 0, 1, 1, 1, 10      # axis, work state O, relative, positive, distance
wait-stop 0, 20000             # polls GetPosition and GetStopFlag every 20 ms

echo "== Y to 5 mm, absolute"
SetStopFlag 1, 0
GoPosition 1, 1, 0, 1, 5       # axis, work state O, absolute, positive, target
wait-stop 1, 20000

echo "== interpolated line by 10 mm in X and Y: to X 20, Y 15"
SetStopFlag 0, 0
SetStopFlag 1, 0
GoInterpolationline2 0, 1, 10, 10   # distances from where X and Y stand
wait-stop 0, 20000
wait-stop 1, 20000

echo "== half circle: end 10 mm along X, centre 5 mm along X, counter-clockwise"
SetStopFlag 0, 0
SetStopFlag 1, 0
GoInterpolationArc 0, 1, 10, 0, 5, 0, 1
wait-stop 0, 20000
wait-stop 1, 20000

echo "== synchronous mode: the call itself waits for the end of the move"
SetchroMode TRUE
GoPosition 0, 1, 0, 1, 20      # X back to 20, absolute
GetStopFlag 0
SetchroMode FALSE

echo "== store a plan in the controller and run it"
SAVENAME "demo"                # the controller records the lines that follow
FunctionLoop 2
GoInterpolationline2 0, 1, 10, -10
GoInterpolationline2 0, 1, -10, 10   # and back
EndLoop
OVERSAVE                       # end of the plan
SetStopFlag 0, 0
SetStopFlag 1, 0
STARTRUN "demo"
wait-stop 0, 30000             # the stops are reported when the plan has ended
wait-stop 1, 30000

echo "== digital port"
SetPortOutput 5
GetPortInput                   # the input word is a by-reference output

echo "== final positions"
GetPosition 0
GetPosition 1
GetPosition 2
GetPosition 3
GetErrorCode
DisConnect
