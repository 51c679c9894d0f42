#!/usr/bin/perl
# Pixel analysis of a screenshot of the chain20 window, read as a binary PPM
# (P6, 8 bits per channel) on standard input. Plain Perl, no modules.
#
# The expected picture follows from the view alone: the window shows world
# x in [-25, 22.5] and y in [-25, 25] of the chain's plane (z = 0), seen from
# 5 units in front of it, stretched to the window; the chain's base is at
# (-1, 0); the boxes are 1 long, 1.2 wide and 0.3 deep, so their front faces
# (z = +0.15) appear 5 / 4.85 times larger than the plane z = 0.
#
#   image.pl stats          white fraction, dark pixel count and tinted pixels
#   image.pl column         the chain hangs as one vertical column below the base
#   image.pl tip            where the chain's free end is (the dark pixels
#                           farthest from the base)
#   image.pl shadow         how much of the shadow chain's grey lies well
#                           away from the black chain
#
# Every mode prints key=value lines; "column" exits 1 when a check fails.
use strict;
use warnings;

my $mode = shift @ARGV // '';

binmode STDIN;
my $data = do { local $/; <STDIN> };
defined $data or die "no image on standard input\n";

# PPM header: magic, width, height, maxval, separated by whitespace; comments
# start with '#'.
my @fields;
my $pos = 0;
while (@fields < 4) {
    if (substr($data, $pos) =~ /\A(?:\s+|#[^\n]*\n)/) {
        $pos += length $&;
        next;
    }
    substr($data, $pos) =~ /\A(\S+)/ or die "bad PPM header\n";
    push @fields, $1;
    $pos += length $1;
}
$pos += 1;    # the single whitespace byte after maxval
my ($magic, $width, $height, $maxval) = @fields;
die "not a binary PPM (P6)\n" unless $magic eq 'P6';
die "only 8-bit PPM is read\n" unless $maxval == 255;
die "truncated PPM\n" if length($data) - $pos < 3 * $width * $height;

# One character per pixel: 'D' dark (all channels below 128: the boxes'
# grey), 'W' white (all channels 250 and above: the background), 'o' other
# (the lit side faces, or anything unexpected). Rows are slices of it.
my $pixels;
{
    # Each byte becomes d (0..127), o (128..249) or w (250..255); tr needs
    # its replacement list spelled out for all 256 bytes.
    my $classes = substr($data, $pos, 3 * $width * $height);
    my $replacement = join '', map { sprintf '\\x%02x', ord } split //, ('d' x 128) . ('o' x 122) . ('w' x 6);
    eval "\$classes =~ tr/\\x00-\\xff/$replacement/; 1" or die $@;
    my %pixel_class = (ddd => 'D', www => 'W');
    $pixels = join '', map { $pixel_class{$_} // 'o' } unpack('(a3)*', $classes);
}
sub row { return substr($pixels, $_[0] * $width, $width); }

# The dark pixels of a row, as x positions.
sub dark_xs {
    my ($row) = @_;
    my @xs;
    push @xs, pos($row) - 1 while $row =~ /D/g;
    return @xs;
}

# View geometry in pixels.
my $front = 5.0 / 4.85;
my $px_per_x = $width / 47.5;
my $px_per_y = $height / 50.0;
sub to_px_x { return ($_[0] + 25.0) * $px_per_x; }
sub to_px_y { return (25.0 - $_[0]) * $px_per_y; }
my $base_x = to_px_x(-1.0 * $front);
my $base_y = to_px_y(0.0);

my $dark = ($pixels =~ tr/D//);
my $white = ($pixels =~ tr/W//);
my ($x0, $y0, $x1, $y1) = ($width, $height, -1, -1);
for my $y (0 .. $height - 1) {
    my $row = row($y);
    my $first = index($row, 'D');
    next if $first < 0;
    my $last = rindex($row, 'D');
    $x0 = $first if $first < $x0;
    $x1 = $last if $last > $x1;
    $y0 = $y if $y0 > $y;
    $y1 = $y;
}
my $bbox = $dark ? sprintf('x %d..%d, y %d..%d (%dx%d)', $x0, $x1, $y0, $y1, $x1 - $x0 + 1, $y1 - $y0 + 1)
                 : 'none';

if ($mode eq 'stats') {
    # Tinted: blue above red by more than 12, as the ensemble fan's
    # translucent members leave the white and the grey.
    my $tinted = 0;
    for my $i (0 .. $width * $height - 1) {
        my ($r, $g, $b) = unpack('C3', substr($data, $pos + 3 * $i, 3));
        ++$tinted if $b > $r + 12;
    }
    printf "size=%dx%d\nwhite_fraction=%.4f\ndark_pixels=%d\ndark_bbox=%s\ntinted_pixels=%d\n",
        $width, $height, $white / ($width * $height), $dark, $bbox, $tinted;
    exit 0;
}

# Every dark pixel as [x + 0.5, y + 0.5, distance from the base].
sub dark_pixels {
    my @points;
    for my $y ($y0 .. $y1) {
        for my $x (dark_xs(row($y))) {
            my ($px, $py) = ($x + 0.5, $y + 0.5);
            push @points, [$px, $py, sqrt(($px - $base_x)**2 + ($py - $base_y)**2)];
        }
    }
    return @points;
}

# Centroid of the points at least `from` away from the base.
sub centroid_beyond {
    my ($from, @points) = @_;
    my ($n, $sx, $sy) = (0, 0, 0);
    for my $p (@points) {
        next if $p->[2] < $from;
        ++$n;
        $sx += $p->[0];
        $sy += $p->[1];
    }
    return ($sx / $n, $sy / $n);
}

if ($mode eq 'tip') {
    die "no dark pixels\n" unless $dark;
    my @points = dark_pixels();
    my $reach = 0;
    for my $p (@points) {
        $reach = $p->[2] if $p->[2] > $reach;
    }
    # The free end: the dark pixels within one link length of the farthest
    # dark pixel from the base.
    my ($tx, $ty) = centroid_beyond($reach - $px_per_y, @points);
    # Angle of the base-to-tip direction in window terms, degrees, 0 = to the
    # right, positive = below the base.
    my $angle = atan2($ty - $base_y, $tx - $base_x) * 45.0 / atan2(1, 1);
    # The end face of the last box: the dark pixels within 2 px of the
    # farthest one, carried back from the boxes' front faces to the chain's
    # plane (the drawing there is smaller by 1 / front, toward the eye's
    # axis), where the tip spring's target lies.
    my ($ex, $ey) = centroid_beyond($reach - 2, @points);
    my ($axis_x, $axis_y) = (to_px_x(0.0), to_px_y(0.0));
    my $end_x = $axis_x + ($ex - $axis_x) / $front;
    my $end_y = $axis_y + ($ey - $axis_y) / $front;
    printf "base=%.1f,%.1f\ntip_x=%.1f\ntip_y=%.1f\nreach=%.1f\nangle=%.1f\nend_in_plane=%.1f,%.1f\n"
        . "dark_pixels=%d\ndark_bbox=%s\n",
        $base_x, $base_y, $tx, $ty, $reach, $angle, $end_x, $end_y, $dark, $bbox;
    exit 0;
}

if ($mode eq 'column') {
    my $half_width = 0.6 * $front * $px_per_x;
    my $left = $base_x - $half_width;
    my $right = $base_x + $half_width;
    my $top = $base_y;
    my $bottom = to_px_y(-20.0 * $front);
    printf "expected: base at %.1f,%.1f; column x %.1f..%.1f, y %.1f..%.1f\n",
        $base_x, $base_y, $left, $right, $top, $bottom;
    printf "seen: dark pixels %d, bounding box %s, white fraction %.4f\n",
        $dark, $bbox, $white / ($width * $height);
    my @errors;
    if (!$dark) {
        push @errors, 'no dark pixels at all';
    } else {
        push @errors, sprintf('left edge %d, expected %.1f', $x0, $left) if abs($x0 - $left) > 2;
        # The last dark column sits left of the boundary; the edge pixel
        # column on the right is the lit side face, lighter than "dark".
        push @errors, sprintf('right edge %d, expected %.1f', $x1 + 1, $right) if abs($x1 + 1 - $right) > 2.5;
        push @errors, sprintf('top %d, expected %.1f', $y0, $top) if abs($y0 - $top) > 2;
        push @errors, sprintf('bottom %d, expected %.1f', $y1 + 1, $bottom) if abs($y1 + 1 - $bottom) > 3;
    }
    # Outside a 3-pixel margin around the expected column, all is background.
    my ($outside, $example) = (0, '');
    my ($band_from, $band_to) = (int($left - 3 + 0.999), int($right + 3));
    for my $y (0 .. $height - 1) {
        my $row = row($y);
        if ($y >= $top - 3 && $y <= $bottom + 3) {
            substr($row, $band_from, $band_to - $band_from + 1) = 'W' x ($band_to - $band_from + 1);
        }
        my $count = $width - ($row =~ tr/W//);
        next unless $count;
        if (!$outside) {
            $row =~ /[^W]/;
            $example = "$-[0],$y";
        }
        $outside += $count;
    }
    push @errors, "$outside non-background pixels away from the column (first at $example)" if $outside;
    # Every row from the top to the bottom of the column holds one unbroken
    # dark run of the box width, centred below the base.
    my ($rows, $bad, @bad_rows) = (0, 0);
    my ($min_run, $max_run, $min_mid, $max_mid) = (1e9, -1, 1e9, -1e9);
    if ($dark) {
        for my $y ($y0 .. $y1) {
            my @xs = dark_xs(row($y));
            ++$rows;
            my $ok = @xs && $xs[-1] - $xs[0] + 1 == @xs;
            if (@xs) {
                my $run = $xs[-1] - $xs[0] + 1;
                my $mid = ($xs[0] + $xs[-1] + 1) / 2;
                $min_run = $run if $run < $min_run;
                $max_run = $run if $run > $max_run;
                $min_mid = $mid if $mid < $min_mid;
                $max_mid = $mid if $mid > $max_mid;
                $ok &&= abs($mid - $base_x) <= 1.5 && abs($run - 2 * $half_width) <= 3;
            }
            next if $ok;
            ++$bad;
            push @bad_rows, @xs ? "$y: x $xs[0]..$xs[-1] (" . scalar(@xs) . ' dark)' : "$y: none" if @bad_rows < 5;
        }
        printf "rows %d: dark run width %d..%d px, run centre x %.1f..%.1f\n",
            $rows, $min_run, $max_run, $min_mid, $max_mid;
    }
    push @errors, "$bad rows without a single centred dark run of the box width: " . join('; ', @bad_rows) if $bad;
    if (@errors) {
        print "column check failed: $_\n" for @errors;
        exit 1;
    }
    print "column check passed\n";
    exit 0;
}

if ($mode eq 'shadow') {
    # The run's chain: its front faces, lit by the ambient light alone, are
    # near black (every channel below 32). The shadow's front faces are a
    # neutral grey between that and 128, as no other face is unless it is the
    # lit side strip of a black box, a few pixels wide at most: a grey pixel
    # counts as apart when no black one lies within `reach` pixels of it.
    my $reach = 6;
    my (@black, @grey);
    for my $y (0 .. $height - 1) {
        my ($black_row, $grey_row) = ('', '');
        for my $x (0 .. $width - 1) {
            my @rgb = unpack('C3', substr($data, $pos + 3 * ($y * $width + $x), 3));
            my ($low, $high) = (sort { $a <=> $b } @rgb)[0, 2];
            $black_row .= $high < 32 ? 'B' : '.';
            $grey_row .= $low >= 32 && $high < 128 && $high - $low <= 4 ? 'G' : '.';
        }
        push @black, $black_row;
        push @grey, $grey_row;
    }
    my ($grey, $apart) = (0, 0);
    for my $y (0 .. $height - 1) {
        while ($grey[$y] =~ /G/g) {
            my $x = pos($grey[$y]) - 1;
            ++$grey;
            my ($from, $to) = ($x - $reach < 0 ? 0 : $x - $reach, $x + $reach);
            my $near = 0;
            for my $yy ($y - $reach .. $y + $reach) {
                next if $yy < 0 || $yy >= $height;
                if (substr($black[$yy], $from, $to - $from + 1) =~ /B/) {
                    $near = 1;
                    last;
                }
            }
            ++$apart unless $near;
        }
    }
    printf "black_pixels=%d\nshadow_grey=%d\nshadow_apart=%d\n", scalar(grep { /B/ } map { split // } @black), $grey, $apart;
    exit 0;
}

die "usage: image.pl stats|column|tip|shadow < image.ppm\n";
