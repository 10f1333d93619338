# One picture of scripts/timeline: the signal level above, the link's events below, on one time
# axis. Given with -e: dir (the event files, "EPOCH VALUE" a line: sig, ping, probe, pppd-start,
# pppd-end, power-cycle, exit), out (the PNG), from and to (the window, epoch seconds), off (the
# local zone's offset in seconds), begin and end (the fault, shaded; 0 for none), heading, and
# clock (the time labels' format).
set terminal pngcairo size 1400,720 font ",10"
set output out
set xdata time
set timefmt "%s"
set xrange [from + off - 2 : to + off + 2]
set grid xtics
set lmargin 14
set rmargin 4
if (end > begin) {
    set object 1 rect from begin + off, graph 0 to end + off, graph 1 \
        fillcolor "#f2c0c0" fillstyle solid 0.5 noborder behind
}
if (end == begin && begin > 0) {
    set arrow 1 from begin + off, graph 0 to begin + off, graph 1 nohead lc rgb "#c04040" lw 3 back
}

set multiplot layout 2,1 title heading
set size 1, 0.3
set origin 0, 0.66
set ylabel "signal (dBm)"
set yrange [-120:-40]
set format x ""
plot dir."/sig" using ($1 + off):2 with linespoints pt 7 ps 0.6 lc rgb "#2060c0" notitle

# The event lanes, one row each.
set size 1, 0.64
set origin 0, 0
set format x clock
set xlabel "time (the box's clock)"
set ylabel ""
set yrange [0.5:6.5]
set ytics ("daemon exit" 1, "power cycle" 2, "pppd ends" 3, "pppd started" 4, "daemon ping" 5, \
           "network probe" 6)
set key below horizontal
ok = "#20a040"; failed = "#d02020"
# A lane's answered (1) and failed (0) events: the other kind is left out (1/0 is no point).
lane(v, y) = v ? y : 1/0
plot dir."/probe" using ($1 + off):(lane($2 == 1, 6)) with points pt 7 ps 0.4 lc rgb ok title "answered", \
     dir."/probe" using ($1 + off):(lane($2 == 0, 6)) with points pt 7 ps 0.4 lc rgb failed title "failed", \
     dir."/ping" using ($1 + off):(lane($2 == 1, 5)) with points pt 7 ps 1.2 lc rgb ok notitle, \
     dir."/ping" using ($1 + off):(lane($2 == 0, 5)) with points pt 7 ps 1.2 lc rgb failed notitle, \
     dir."/pppd-start" using ($1 + off):(4) with points pt 9 ps 1.6 lc rgb "#2060c0" notitle, \
     dir."/pppd-end" using ($1 + off):(3) with points pt 11 ps 1.6 lc rgb "#404040" notitle, \
     dir."/power-cycle" using ($1 + off):(2) with points pt 5 ps 1.6 lc rgb "#e08000" notitle, \
     dir."/exit" using ($1 + off):(1) with points pt 13 ps 1.8 lc rgb failed notitle
unset multiplot
