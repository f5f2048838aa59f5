import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;

// Writes the sources of a workload with many distinct method keys:
//   java WideSources.java <dir> <classes> <methods>
// gives <dir>/bench/Wide0..Wide<classes-1>.java, each with <methods> static
// methods (static keys carry their class, so every method is a key of its
// own), and <dir>/bench/Wide.java, whose main calls every method once per
// round: Wide <rounds>.
public class WideSources {
    public static void main(String[] args) throws IOException {
        Path dir = Path.of(args[0], "bench");
        int classes = Integer.parseInt(args[1]);
        int methods = Integer.parseInt(args[2]);
        Files.createDirectories(dir);
        for (int c = 0; c < classes; c++) {
            StringBuilder out = new StringBuilder();
            out.append("package bench;\n\nfinal class Wide").append(c).append(" {\n");
            for (int m = 0; m < methods; m++) {
                out.append("    static int m").append(m).append("(int x) { return x ^ ")
                        .append(m).append("; }\n");
            }
            out.append("\n    static long round(int x) {\n        long s = 0;\n");
            for (int m = 0; m < methods; m++) {
                out.append("        s += m").append(m).append("(x);\n");
            }
            out.append("        return s;\n    }\n}\n");
            Files.writeString(dir.resolve("Wide" + c + ".java"), out);
        }
        StringBuilder main = new StringBuilder();
        main.append("package bench;\n\npublic final class Wide {\n")
                .append("    public static void main(String[] args) {\n")
                .append("        int rounds = Integer.parseInt(args[0]);\n")
                .append("        long s = 0;\n")
                .append("        for (int r = 0; r < rounds; r++) {\n");
        for (int c = 0; c < classes; c++) {
            main.append("            s += Wide").append(c).append(".round(r);\n");
        }
        main.append("        }\n        System.out.println(\"sum \" + s);\n    }\n}\n");
        Files.writeString(dir.resolve("Wide.java"), main);
    }
}
