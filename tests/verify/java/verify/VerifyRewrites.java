package verify;

import java.io.IOException;
import java.io.InputStream;
import java.lang.reflect.Constructor;
import java.lang.reflect.InvocationTargetException;
import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.net.URI;
import java.nio.file.FileSystem;
import java.nio.file.FileSystems;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.TreeMap;
import java.util.TreeSet;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.stream.Stream;

import kelmora.Hook;

import org.objectweb.asm.ClassReader;
import org.objectweb.asm.Opcodes;
import org.objectweb.asm.Type;
import org.objectweb.asm.tree.ClassNode;
import org.objectweb.asm.tree.MethodNode;
import org.objectweb.asm.tree.analysis.Analyzer;
import org.objectweb.asm.tree.analysis.BasicValue;
import org.objectweb.asm.tree.analysis.SimpleVerifier;

/**
 * Runs the agent's class rewriter over whole sets of classes (the JDK's
 * modules, jars, a directory) and has every rewritten class verified: by this
 * VM's own verifier when a test class loader may define the class, else by
 * ASM's data-flow analysis. A class counts as verified by the VM only once it
 * is linked. The classes as written and as rewritten are linked by two VMs of
 * their own doing the same steps, so any difference between them is the
 * rewrite's.
 *
 * Arguments: --jrt | --jars DIR | --dir DIR EXPECTED   (any number of them)
 * Needs -Dkelmora.bridge=<path of the bridge library>. Exits 1 on any failure.
 */
public final class VerifyRewrites {
    static native String rewrite(byte[] original, byte[][] rewritten, int[] methodCounts);

    static native String[] methodOutcomeNames();

    static native int classStatus(Class<?> klass);

    private static final int STATUS_VERIFIED = 1;
    private static final int STATUS_ERROR = 8;
    // libasm-java 9.4 reads class files up to Java 20's.
    private static final int ASM_MAX_MAJOR = 64;
    private static final int[] ARGUMENTS = {-1, 0, 1, 2, 3, 5, 100};

    private static final class Totals {
        final Map<String, Integer> classes = new TreeMap<>();
        final Map<String, Integer> methods = new TreeMap<>();
        final Map<String, Integer> checkedBy = new TreeMap<>();
        final List<String> failures = new ArrayList<>();
        final List<String> unverifiable = new ArrayList<>();

        void add(Map<String, Integer> map, String key, int count) {
            map.merge(key, count, Integer::sum);
        }

        void addAll(Totals other) {
            other.classes.forEach((k, v) -> add(classes, k, v));
            other.methods.forEach((k, v) -> add(methods, k, v));
            other.checkedBy.forEach((k, v) -> add(checkedBy, k, v));
            failures.addAll(other.failures);
            unverifiable.addAll(other.unverifiable);
        }

        String summary() {
            return "classes " + classes + "; methods " + methods + "; rewritten classes checked by "
                    + checkedBy + "; failed " + failures.size();
        }
    }

    /**
     * Defines the classes it holds itself and takes every other from its parent.
     * Holding one package of a set, it checks those classes among the very classes
     * they were written against, with their package-mates beside them.
     */
    private static final class World extends ClassLoader {
        private final Map<String, byte[]> classes;

        World(String name, ClassLoader parent, Map<String, byte[]> classes) {
            super(name, parent);
            this.classes = classes;
        }

        @Override
        protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
            synchronized (getClassLoadingLock(name)) {
                Class<?> found = findLoadedClass(name);
                if (found != null) return found;
                byte[] bytes = name.startsWith("java.") ? null : classes.get(name);
                if (bytes == null) return super.loadClass(name, resolve);
                return defineClass(name, bytes, 0, bytes.length);
            }
        }
    }

    private record Link(Class<?> klass, boolean verified, String error) {}

    private interface UnitCheck {
        void check(String unitName, Map<String, byte[]> classes, Map<String, String[]> expected,
                boolean installed) throws Exception;
    }

    /** Reads the sets of classes the arguments name, one unit at a time. */
    private static void forEachUnit(String[] args, int from, UnitCheck check) throws Exception {
        for (int i = from; i < args.length; i++) {
            switch (args[i]) {
                case "--jrt" -> {
                    FileSystem jrt = FileSystems.getFileSystem(URI.create("jrt:/"));
                    List<Path> modules;
                    try (Stream<Path> list = Files.list(jrt.getPath("/modules"))) {
                        modules = list.sorted().toList();
                    }
                    for (Path module : modules) {
                        check.check("jrt:" + module.getFileName(), readTree(module), null, true);
                    }
                }
                case "--jars" -> check.check("jars in " + args[i + 1], readJars(Path.of(args[++i])), null, false);
                case "--dir" -> {
                    Path dir = Path.of(args[++i]);
                    Map<String, String[]> expected = readExpectations(Path.of(args[++i]));
                    check.check("dir " + dir, readTree(dir), expected, false);
                }
                default -> throw new IllegalArgumentException("unknown argument " + args[i]);
            }
        }
    }

    public static void main(String[] args) throws Exception {
        System.load(System.getProperty("kelmora.bridge"));
        if (args.length >= 2 && args[0].equals("--side")) {
            linkSide(args);
            return;
        }
        // Each side is linked by a VM of its own, doing the same things in the same
        // order: loader constraints between the two could otherwise make whichever
        // side comes second fail where the first passed.
        Map<String, String> written = runSide("as-written", args);
        Map<String, String> rewrittenSide = runSide("rewritten", args);
        Totals all = new Totals();
        forEachUnit(args, 0, (unitName, classes, expected, installed) ->
                all.addAll(checkUnit(unitName, classes, expected, installed, written, rewrittenSide)));
        System.out.println("TOTAL " + all.summary());
        if (!all.unverifiable.isEmpty()) {
            System.out.println("verifiable neither as written nor as rewritten ("
                    + all.unverifiable.size() + "): "
                    + all.unverifiable.subList(0, Math.min(20, all.unverifiable.size())));
        }
        for (String failure : all.failures) System.out.println("FAILED " + failure);
        System.exit(all.failures.isEmpty() ? 0 : 1);
    }

    /** Runs this program again as one side; returns its results by unit and class. */
    private static Map<String, String> runSide(String side, String[] args) throws Exception {
        Path out = Files.createTempFile("kelmora-verify-" + side, ".txt");
        try {
            List<String> command = new ArrayList<>();
            command.add(ProcessHandle.current().info().command().orElse("java"));
            command.addAll(java.lang.management.ManagementFactory.getRuntimeMXBean().getInputArguments());
            command.addAll(List.of("-cp", System.getProperty("java.class.path"), VerifyRewrites.class.getName(),
                    "--side", side, out.toString()));
            command.addAll(Arrays.asList(args));
            Process process = new ProcessBuilder(command).inheritIO().start();
            if (process.waitFor() != 0) throw new IllegalStateException(side + " side failed");
            Map<String, String> results = new LinkedHashMap<>();
            for (String line : Files.readAllLines(out)) {
                int tab = line.indexOf('\t');
                results.put(line.substring(0, tab), line.substring(tab + 1));
            }
            return results;
        } finally {
            Files.deleteIfExists(out);
        }
    }

    /** One side: links every class the rewriter changes, as written or as rewritten. */
    private static void linkSide(String[] args) throws Exception {
        boolean rewrittenSide = args[1].equals("rewritten");
        List<String> lines = new ArrayList<>();
        forEachUnit(args, 3, (unitName, originals, expected, installed) -> {
            Map<String, byte[]> changed = new TreeMap<>(originals);
            Set<String> rewritten = rewriteAll(originals, changed, null, null);
            Map<String, byte[]> side = rewrittenSide ? changed : originals;
            ClassLoader system = ClassLoader.getSystemClassLoader();
            ClassLoader hierarchy = installed ? system : new World("original", system, originals);
            String packageName = null;
            World world = null;
            for (String name : rewritten) {
                String namePackage = packageOf(name);
                if (!namePackage.equals(packageName)) {
                    packageName = namePackage;
                    world = new World(args[1], hierarchy, inPackage(side, packageName));
                }
                Link link = link(world, name);
                String error = link.error == null ? "" : link.error.replace('\n', ' ').replace('\t', ' ');
                lines.add(unitName + " " + name + "\t" + (link.verified ? "verified" : "not verified (" + error + ")"));
            }
        });
        Files.write(Path.of(args[2]), lines);
    }

    private static String packageOf(String name) {
        return name.substring(0, Math.max(0, name.lastIndexOf('.')));
    }

    private static Map<String, String[]> readExpectations(Path file) throws IOException {
        Map<String, String[]> expected = new LinkedHashMap<>();
        for (String line : Files.readAllLines(file)) {
            String[] parts = line.trim().split(" ");
            if (parts.length == 3) expected.put(parts[0], parts);
        }
        return expected;
    }

    private static Map<String, byte[]> readTree(Path root) throws IOException {
        Map<String, byte[]> classes = new TreeMap<>();
        try (Stream<Path> walk = Files.walk(root)) {
            for (Path file : (Iterable<Path>) walk::iterator) {
                String relative = root.relativize(file).toString();
                if (!relative.endsWith(".class") || relative.endsWith("module-info.class")) continue;
                String name = relative.substring(0, relative.length() - 6).replace('/', '.');
                classes.put(name, Files.readAllBytes(file));
            }
        }
        return classes;
    }

    /** Every jar of the directory in one world, so they can see each other; first one wins. */
    private static Map<String, byte[]> readJars(Path dir) throws IOException {
        Map<String, byte[]> classes = new TreeMap<>();
        Set<Path> seen = new HashSet<>();
        List<Path> jars;
        try (Stream<Path> list = Files.list(dir)) {
            jars = list.filter(p -> p.toString().endsWith(".jar")).sorted().toList();
        }
        for (Path jar : jars) {
            if (!seen.add(jar.toRealPath())) continue;
            try (JarFile file = new JarFile(jar.toFile())) {
                for (JarEntry entry : (Iterable<JarEntry>) file.stream()::iterator) {
                    String path = entry.getName();
                    if (!path.endsWith(".class") || path.startsWith("META-INF/")
                            || path.endsWith("module-info.class")) {
                        continue;
                    }
                    String name = path.substring(0, path.length() - 6).replace('/', '.');
                    if (classes.containsKey(name)) continue;
                    try (InputStream in = file.getInputStream(entry)) {
                        classes.put(name, in.readAllBytes());
                    }
                }
            }
        }
        return classes;
    }

    /** Rewrites every class; fills `changed` and the tallies, returns the names rewritten. */
    private static Set<String> rewriteAll(Map<String, byte[]> originals, Map<String, byte[]> changed,
            Totals totals, Map<String, String[]> expected) {
        String[] methodNames = methodOutcomeNames();
        Set<String> rewritten = new TreeSet<>();
        for (Map.Entry<String, byte[]> entry : originals.entrySet()) {
            byte[][] out = new byte[1][];
            int[] counts = new int[methodNames.length];
            String outcome = rewrite(entry.getValue(), out, counts);
            if (out[0] != null) {
                changed.put(entry.getKey(), out[0]);
                rewritten.add(entry.getKey());
            }
            if (totals == null) continue;
            totals.add(totals.classes, outcome, 1);
            for (int m = 0; m < counts.length; m++) {
                if (counts[m] > 0) totals.add(totals.methods, methodNames[m], counts[m]);
            }
            if (expected != null && expected.containsKey(entry.getKey())) {
                String want = expected.get(entry.getKey())[1].replace('-', ' ');
                if (!want.equals(outcome)) {
                    totals.failures.add(entry.getKey() + ": outcome " + outcome + ", expected " + want);
                }
            }
        }
        return rewritten;
    }

    /**
     * Rewrites and checks one set of classes. Each package was linked by each side
     * with a loader of its own whose parent has the other packages as written: the
     * VM's own loaders when `installed` (the JDK's classes), else a loader over the
     * whole set. What neither side's VM would link goes to ASM.
     */
    private static Totals checkUnit(String unitName, Map<String, byte[]> originals,
            Map<String, String[]> expected, boolean installed, Map<String, String> writtenSide,
            Map<String, String> rewrittenSide) throws Exception {
        Totals totals = new Totals();
        Map<String, byte[]> changed = new TreeMap<>(originals);
        Set<String> rewritten = rewriteAll(originals, changed, totals, expected);
        if (expected != null) {
            for (String name : expected.keySet()) {
                if (!originals.containsKey(name)) totals.failures.add(name + ": not found");
            }
        }
        ClassLoader system = ClassLoader.getSystemClassLoader();
        ClassLoader hierarchy = installed ? system : new World("original", system, originals);
        for (String name : rewritten) {
            String key = unitName + " " + name;
            Link original = sideLink(writtenSide.get(key));
            Link now = sideLink(rewrittenSide.get(key));
            if (original.verified && now.verified) {
                totals.add(totals.checkedBy, "VM", 1);
                continue;
            }
            // A loader constraint broken on one side only comes of the test's second
            // copies of the JDK's classes and of the order other threads load classes
            // in, which varies from run to run; it says nothing of the bytecode.
            boolean constraint = brokeLoaderConstraint(original) || brokeLoaderConstraint(now);
            // Neither side linked, one for want of access to or of a class it needs
            // (the test's loaders see the JDK's packages as no module does): which
            // error comes first follows the order classes reach the loaders, and
            // says nothing of the bytecode either.
            boolean unreachable = !original.verified && !now.verified
                    && (couldNotReach(original) || couldNotReach(now));
            if (!constraint && !unreachable
                    && (original.verified || now.verified || !sameKind(original.error, now.error))) {
                totals.failures.add(name + ": as written " + describe(original) + ", as rewritten "
                        + describe(now));
                continue;
            }
            if (expected != null) {
                totals.failures.add(name + ": not linked in a test loader: " + original.error);
                continue;
            }
            // The VM would not link it here, as written or rewritten, for the same
            // reason (java.*, a package-private superclass, a class not installed):
            // ASM's analysis decides.
            String reason = constraint ? "loader constraint on one side"
                    : !sameKind(original.error, now.error) ? "a class out of reach on one side"
                    : original.error == null ? "not linked" : original.error.split(":")[0];
            String afterAsm = analyze(changed.get(name), hierarchy);
            if (afterAsm == null) {
                totals.add(totals.checkedBy, "ASM (" + reason + ")", 1);
            } else if (analyze(originals.get(name), hierarchy) != null) {
                totals.add(totals.checkedBy, "neither", 1);
                totals.unverifiable.add(name + " (" + afterAsm + ")");
            } else {
                totals.failures.add(name + ": ASM: " + afterAsm);
            }
        }
        if (expected != null && totals.failures.isEmpty()) {
            runMethods(hierarchy, changed, expected, totals);
        }
        System.out.println(unitName + ": " + originals.size() + " classes; " + totals.summary());
        return totals;
    }

    private static Link sideLink(String result) {
        if (result == null) return new Link(null, false, "no result from the side");
        if (result.equals("verified")) return new Link(null, true, null);
        return new Link(null, false, result.substring("not verified (".length(), result.length() - 1));
    }

    private static Map<String, byte[]> inPackage(Map<String, byte[]> classes, String packageName) {
        Map<String, byte[]> members = new TreeMap<>();
        classes.forEach((name, bytes) -> {
            if (name.substring(0, Math.max(0, name.lastIndexOf('.'))).equals(packageName)) {
                members.put(name, bytes);
            }
        });
        return members;
    }

    private static boolean brokeLoaderConstraint(Link link) {
        return !link.verified && link.error != null && link.error.startsWith("java.lang.LinkageError")
                && link.error.contains("loader constraint violation");
    }

    private static boolean couldNotReach(Link link) {
        String kind = link.error == null ? "" : link.error.split(":")[0];
        return kind.equals("java.lang.IllegalAccessError") || kind.equals("java.lang.NoClassDefFoundError");
    }

    private static boolean sameKind(String a, String b) {
        String kindA = a == null ? "" : a.split(":")[0];
        String kindB = b == null ? "" : b.split(":")[0];
        return kindA.equals(kindB);
    }

    private static String describe(Link link) {
        return link.verified ? "verified" : "not verified (" + link.error + ")";
    }

    /** Loads and links the class; true only once the VM has verified it. */
    private static Link link(ClassLoader world, String name) {
        Class<?> klass;
        try {
            klass = Class.forName(name, false, world);
        } catch (Throwable t) {
            return new Link(null, false, t.toString());
        }
        if (klass.getClassLoader() != world) {
            // java.*, which only the VM's own loader may define: the VM's copy, not ours.
            return new Link(null, false, "not definable by a test loader: " + name);
        }
        String error = null;
        try {
            klass.getDeclaredMethods();  // links the class first
        } catch (Throwable t) {
            error = t.toString();
        }
        int status = classStatus(klass);
        boolean verified = status >= 0 && (status & STATUS_VERIFIED) != 0 && (status & STATUS_ERROR) == 0;
        if (!verified && error == null) error = "status " + status;
        return new Link(klass, verified, error);
    }

    /** ASM's data-flow analysis of every method; null when all pass. */
    private static String analyze(byte[] bytes, ClassLoader hierarchy) {
        try {
            byte[] readable = bytes;
            int major = ((bytes[6] & 0xff) << 8) | (bytes[7] & 0xff);
            if (major > ASM_MAX_MAJOR) {
                // Nothing the analysis reads has changed since; only the number stops ASM.
                readable = bytes.clone();
                readable[6] = 0;
                readable[7] = (byte) ASM_MAX_MAJOR;
            }
            ClassNode node = new ClassNode();
            new ClassReader(readable).accept(node, ClassReader.SKIP_DEBUG);
            Type self = Type.getObjectType(node.name);
            Type superType = node.superName == null ? null : Type.getObjectType(node.superName);
            List<Type> interfaces = new ArrayList<>();
            for (String name : node.interfaces) interfaces.add(Type.getObjectType(name));
            boolean isInterface = (node.access & Opcodes.ACC_INTERFACE) != 0;
            for (MethodNode method : node.methods) {
                SimpleVerifier verifier = new ObjectAcceptsAll(self, superType, interfaces, isInterface);
                verifier.setClassLoader(hierarchy);
                try {
                    new Analyzer<BasicValue>(verifier).analyze(node.name, method);
                } catch (Throwable t) {
                    return method.name + method.desc + ": " + t;
                }
            }
            return null;
        } catch (Throwable t) {
            return t.toString();
        }
    }

    /**
     * Every reference is assignable to Object, as the VM's verifier has it, without
     * loading the other type's hierarchy: the hook's parameter then needs no class
     * that is not installed here.
     */
    private static final class ObjectAcceptsAll extends SimpleVerifier {
        private static final Type OBJECT = Type.getObjectType("java/lang/Object");

        ObjectAcceptsAll(Type self, Type superType, List<Type> interfaces, boolean isInterface) {
            super(Opcodes.ASM9, self, superType, interfaces, isInterface);
        }

        @Override
        protected boolean isAssignableFrom(Type type, Type other) {
            if (type.equals(OBJECT) && (other.getSort() == Type.OBJECT || other.getSort() == Type.ARRAY)) {
                return true;
            }
            return super.isAssignableFrom(type, other);
        }
    }

    /**
     * Calls every public (I)I method of the expected classes in both worlds with
     * the same arguments: same results, and as many hook calls per call as expected,
     * each with the receiver.
     */
    private static void runMethods(ClassLoader originals, Map<String, byte[]> changed,
            Map<String, String[]> expected, Totals totals) throws Exception {
        // The hand-made classes need nothing of each other: each side in a world of its own.
        World rewrittenWorld = new World("rewritten", ClassLoader.getSystemClassLoader(), changed);
        int calls = 0;
        for (String[] expectation : expected.values()) {
            String name = expectation[0];
            long hooksPerCall = Long.parseLong(expectation[2]);
            Object plain = instance(Class.forName(name, true, originals));
            Object rewritten = instance(Class.forName(name, true, rewrittenWorld));
            for (Method method : plain.getClass().getDeclaredMethods()) {
                if (!Modifier.isPublic(method.getModifiers())
                        || !Arrays.equals(method.getParameterTypes(), new Class<?>[] {int.class})) {
                    continue;
                }
                Method twin = rewritten.getClass().getDeclaredMethod(method.getName(), int.class);
                for (int argument : ARGUMENTS) {
                    Hook.last = null;
                    String want = call(method, plain, argument);
                    if (Hook.last != null) totals.failures.add(name + "." + method.getName() + " as written stored in the hook");
                    String got = call(twin, rewritten, argument);
                    calls++;
                    String where = name + "." + method.getName() + "(" + argument + ")";
                    if (!want.equals(got)) totals.failures.add(where + ": " + want + " as written, " + got + " rewritten");
                    // The receiver stored last is the object's own whenever the hook was reached.
                    if (hooksPerCall > 0 ? Hook.last != rewritten : Hook.last != null) {
                        totals.failures.add(where + ": the hook holds " + (Hook.last == rewritten ? "the receiver" : String.valueOf(Hook.last)));
                    }
                }
            }
        }
        System.out.println("called " + calls + " rewritten methods against their originals");
        if (calls == 0) totals.failures.add("no method was called");
    }

    private static Object instance(Class<?> klass) throws Exception {
        Constructor<?> constructor = klass.getDeclaredConstructor();
        return constructor.newInstance();
    }

    private static String call(Method method, Object receiver, int argument) {
        try {
            return "returned " + method.invoke(receiver, argument);
        } catch (InvocationTargetException e) {
            return "threw " + e.getCause().getClass().getName();
        } catch (IllegalAccessException e) {
            return "inaccessible " + e;
        }
    }
}
