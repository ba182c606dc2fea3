# Save-on-exit, but the data file beside the executable is read-only. (The
# runner makes the file, empty, when it is missing under the device root.)
exe = \Program Files\Wtapwatcher.exe
read-only = \Program Files\tapwatcherdata.txt
taken = Any+App1
